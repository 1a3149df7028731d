#include "config.h"

namespace station_center {

const char* const Config::kProdBroker = STATION_PROD_BROKER;
const char* const Config::kTestBroker = STATION_TEST_BROKER;

Config g_config;

}  // namespace station_center
