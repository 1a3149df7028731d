#include "clock.h"

#include <atomic>
#include <chrono>

namespace station_center {

namespace {
std::atomic<int64_t> g_offset_ms{0};
}

int64_t NowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() + g_offset_ms.load();
}

int64_t NowSeconds() { return NowMillis() / 1000; }

void AdvanceClockForTest(int64_t seconds) { g_offset_ms.fetch_add(seconds * 1000); }

void ResetClockForTest() { g_offset_ms.store(0); }

}  // namespace station_center
