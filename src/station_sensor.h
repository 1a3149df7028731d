#pragma once

#include <cstdint>

namespace station_center {

// A detector that must read "missing" longer than a limit before it counts as
// abnormal; present again releases it at once.
struct MissingDebounce {
  bool normal = true;
  bool missing_noted = false;  // the current missing stretch has started
  int64_t since = 0;           // start of the stretch, or the last report that saw it present
};

// A report condition acted on only once `needed` reports in a row show it
// changed, so a single corrupt report neither stops nor restarts the station.
struct ReportDebounce {
  bool state = false;  // the condition as acted on
  int streak = 0;      // reports in a row that disagreed with `state`

  // True when this report flips `state`.
  bool Update(bool seen, int needed) {
    if (seen == state) {
      streak = 0;
      return false;
    }
    if (++streak < needed) {
      return false;
    }
    state = seen;
    streak = 0;
    return true;
  }
};

// Debounce state of the sensor automation (dust bag, dust box cap, plate and
// heat-wire flags, sewage timer); each station core owns one, so a new core
// starts afresh. Threading: touched only with the core's task_mutex_ held.
struct SensorAutomation {
  bool started = false;  // timers start at the first report
  MissingDebounce dust_bag;
  MissingDebounce dust_box_cap;
  bool upper_plate_normal = true;
  bool lower_plate_normal = true;
  bool heat_wire_normal = true;
  int64_t sewage_timer = 0;
  ReportDebounce emergency_stop;
  // Board restart detection: the board has reported itself initialised, the
  // last report did, and the sensor connection the last report came on.
  bool board_init_seen = false;
  bool board_init_ok = false;
  uint32_t sensor_connection = 0;
};

}  // namespace station_center
