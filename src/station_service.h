#pragma once

#include "station_types.h"

namespace station_center {

// The station as the MQTT side sees it: one answer per outside request.
// Threading: called on the MQTT event thread; takes the locks it needs itself.
class StationService {
 public:
  virtual ~StationService() = default;

  virtual StationSrvRsp HandleService(const StationSrvReq& req) = 0;
};

}  // namespace station_center
