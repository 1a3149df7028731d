// The station files as found on disk: the configuration, the lamp patterns, the
// status file and the device environment, each with arbitrary contents, read by
// the daemon's own readers. Whatever the file says, the reading ends, keys keep
// their documented ranges, the lamp patterns come out ranked, and the dust-bag
// time written back reads back.
//
// Input: one byte choosing the file, then its contents.

#include <cstddef>
#include <cstdint>
#include <string>

#include "clock.h"
#include "config.h"
#include "fuzz_support.h"
#include "led_manager.h"

using station_fuzz::Bytes;
using station_fuzz::Check;
using station_fuzz::WriteFile;
namespace sc = station_center;

namespace {

const char* const kStatus = R"({"dust_bag_last_replace_time": 1700000000, "hardware": "dvt3"})";

void ReadConfigFile(const std::string& text) {
  WriteFile(sc::StatusFilePath(), kStatus);
  WriteFile(sc::ConfigFilePath(), text);
  sc::ReadConfig();
  Check(sc::g_config.sensor_stale_time >= 1 && sc::g_config.sensor_stale_time <= 3600,
        "sensor_stale_time outside 1..3600");
}

void ReadLedFile(const std::string& text) {
  WriteFile(sc::LedConfigFilePath(), text);
  sc::LedManager leds;
  if (!leds.ReadConfig()) {
    return;
  }
  const auto& strategies = leds.strategies();
  Check(!strategies.empty(), "lamp patterns read but none built");
  for (size_t i = 1; i < strategies.size(); ++i) {
    Check(strategies[i - 1]->priority <= strategies[i]->priority, "lamp patterns out of rank");
  }
}

void ReadStatusFile(const std::string& text) {
  WriteFile(sc::StatusFilePath(), text);
  sc::ReadStatus();
  const int64_t now = sc::NowSeconds();
  sc::ReadDustBagReplyTime(now);
  sc::WriteDustBagReplyTimeUncheck(now);
  const int64_t age = sc::ReadDustBagReplyTime(now);
  // Either the file took the time, or it is unusable and the bag counts as overdue.
  Check(age == 0 || age == now, "the dust-bag time written does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  station_fuzz::SetUpProcess();
  static const sc::Config defaults = sc::g_config;
  Bytes in(data, size);
  const uint8_t which = in.U8();
  const std::string text = in.Rest();
  switch (which % 4) {
    case 0:
      ReadConfigFile(text);
      break;
    case 1:
      ReadLedFile(text);
      break;
    case 2:
      ReadStatusFile(text);
      break;
    default:
      WriteFile(sc::DeviceEnvFilePath(), text);
      sc::GetEnvType();
      Check(sc::g_config.env_type == 0 || sc::g_config.env_type == 1, "environment neither production nor test");
      break;
  }
  sc::g_config = defaults;
  return 0;
}
