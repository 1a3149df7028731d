#pragma once

namespace station_center {

// The sensor automation keeps process-wide debounce state (dust bag, dust box cap,
// plate and heat-wire flags, sewage timer), as the station has one sensor stream.
// Tests that build several station cores in one process start each afresh with this.
// Only while no sensor report is being handled.
void ResetSensorAutomationForTest();

}  // namespace station_center
