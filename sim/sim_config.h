#pragma once

#include <string>

#include "sim/station_sim.h"

namespace station_sim {

// Fills the link addresses of `options` from the daemon's own config.json
// (under STATION_CENTER_ROOT when set): "embedded_ip", "embedded_action_port"
// (the command port, where the simulator listens), "soc_ip" and
// "soc_data_server_port" (the daemon's sensor server, where it connects), and
// for the safety monitor "sewage_check_threshold_down" and
// "sewage_pump_continue_work_time" (the daemon's sewage automation).
// Keys that are missing or of the wrong type keep the values in `options`;
// ports are read as the daemon reads them (low 16 bits). False with `error`
// set when the file cannot be read or is not a JSON object.
// Called from one thread at a time; reads the environment.
bool LoadLinkConfig(SimOptions* options, std::string* error);

}  // namespace station_sim
