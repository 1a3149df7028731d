#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace station_center {

// Asks the board for a reset, which switches every output it drives off, over a
// command connection of its own: for when no controller is left to do it (the
// unit's stop, a daemon that must exit). True when the board confirmed within
// `limit`, connecting included. Thread-safe; blocks the caller at most `limit`.
bool SwitchOffBoard(const std::string& ip, uint16_t port, std::chrono::milliseconds limit);

}  // namespace station_center
