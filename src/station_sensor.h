#pragma once

#include <cstdint>

namespace station_center {

// Debounce state of the sensor automation (dust bag, dust box cap, plate and
// heat-wire flags, sewage timer); each station core owns one, so a new core
// starts afresh. Threading: touched only with the core's task_mutex_ held.
struct SensorAutomation {
  bool started = false;  // timers start at the first report
  bool dust_bag_normal = true;
  bool dust_bag_removal_noted = false;
  int64_t dust_bag_timer = 0;
  bool dust_box_cap_normal = true;
  bool dust_box_cap_removal_noted = false;
  int64_t dust_box_cap_timer = 0;
  bool upper_plate_normal = true;
  bool lower_plate_normal = true;
  bool heat_wire_normal = true;
  int64_t sewage_timer = 0;
};

}  // namespace station_center
