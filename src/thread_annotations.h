#pragma once

// Clang's thread-safety analysis (-Wthread-safety): which lock guards which
// member, and which functions expect a lock held or not held. Other compilers
// see nothing. std::mutex carries no such annotations in libstdc++, so the
// station core's locks are the small wrappers below.

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define STATION_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define STATION_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) STATION_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY STATION_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) STATION_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) STATION_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) STATION_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) STATION_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) STATION_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) STATION_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) STATION_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) STATION_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) STATION_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) STATION_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) STATION_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define EXCLUDES(...) STATION_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) STATION_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) STATION_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS STATION_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace station_center {

// std::mutex with the analysis' annotations; a BasicLockable, so
// std::condition_variable_any waits on it.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() STATION_THREAD_ANNOTATION(try_acquire_capability(true)) { return mutex_.try_lock(); }
  // Tells the analysis the caller holds it (where a callback runs under the lock).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}
  // The lock itself, for code the analysis does not follow (tests).
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// std::shared_mutex with the analysis' annotations.
class CAPABILITY("shared mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mutex_.unlock_shared(); }
  void AssertHeld() const ASSERT_CAPABILITY(this) {}
  void AssertReaderHeld() const STATION_THREAD_ANNOTATION(assert_shared_capability(this)) {}
  // The lock itself, for code the analysis does not follow (tests).
  std::shared_mutex& native() { return mutex_; }

 private:
  std::shared_mutex mutex_;
};

// Holds a Mutex for its scope (std::lock_guard carries no annotations).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->lock(); }
  ~MutexLock() RELEASE() { mutex_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

// Holds a SharedMutex exclusively for its scope.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->lock(); }
  ~WriterLock() RELEASE() { mutex_->unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex* const mutex_;
};

// Holds a SharedMutex shared for its scope.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex* mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex_->lock_shared(); }
  ~ReaderLock() RELEASE() { mutex_->unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex* const mutex_;
};

}  // namespace station_center
