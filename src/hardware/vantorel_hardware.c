/* Stand-in for the maker's hardware-information library on units and hosts that
   lack it. It knows no production/test flag, so "robot_status" reads "unknown"
   and the device environment file decides. */
#include <stdlib.h>
#include <string.h>

#include "vantorel_hardware_information.h"

struct VantorelHardwareInformation {
  char value[64];
};

__attribute__((visibility("default"))) VantorelHardwareInformation* VantorelHardwareInformation_create(void) {
  return (VantorelHardwareInformation*)calloc(1, sizeof(VantorelHardwareInformation));
}

__attribute__((visibility("default"))) const char* VantorelHardwareInformation_get_hardware_info(
    VantorelHardwareInformation* handle, const char* key) {
  static const char kUnknown[] = "unknown";
  if (handle == NULL || key == NULL) {
    return kUnknown;
  }
  const char* value = kUnknown;
  if (strcmp(key, "hardware_vendor") == 0) {
    value = "vantorel";
  }
  strncpy(handle->value, value, sizeof(handle->value) - 1);
  return handle->value;
}

__attribute__((visibility("default"))) void VantorelHardwareInformation_destroy(VantorelHardwareInformation* handle) {
  free(handle);
}
