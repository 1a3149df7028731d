#pragma once

/* Hardware-information layer of the station SoC: reports facts about the unit
   ("robot_status" among them) by key. */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VantorelHardwareInformation VantorelHardwareInformation;

VantorelHardwareInformation* VantorelHardwareInformation_create(void);
/* The text stays valid until destroy; never NULL. */
const char* VantorelHardwareInformation_get_hardware_info(VantorelHardwareInformation* handle, const char* key);
void VantorelHardwareInformation_destroy(VantorelHardwareInformation* handle);

#ifdef __cplusplus
}
#endif
