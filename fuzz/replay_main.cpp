// Replays a fuzz target over files: each argument is a file or a directory of
// them (not recursive). Built into the ordinary test suite, so inputs that once
// crashed a target stay fixed in every build, sanitized or not.

#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return false;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

// Without a sanitizer to say so, an input that makes the station allocate
// gigabytes must still fail: the address space is capped (the sanitizers reserve
// terabytes of it for their shadow, so they keep their own limits).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
void CapMemory() {}
#else
void CapMemory() {
  constexpr rlim_t kCap = rlim_t{1} << 30;
  const rlimit cap{kCap, kCap};
  setrlimit(RLIMIT_AS, &cap);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  CapMemory();
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    const std::filesystem::path path(argv[i]);
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(path, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        if (entry.is_regular_file()) {
          files.push_back(entry.path());
        }
      }
    } else if (std::filesystem::exists(path, error)) {
      files.push_back(path);
    }
    for (const auto& file : files) {
      std::printf("replay %s\n", file.c_str());
      std::fflush(stdout);
      if (!Replay(file)) {
        return 1;
      }
      ++replayed;
    }
  }
  std::printf("%d inputs replayed\n", replayed);
  return replayed > 0 ? 0 : 1;
}
