// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "properties/device_properties.h"
const KSPROPERTY_SET DevicePropertySets[1] = {};
NTSTATUS AdapterDeviceProperty(BOOLEAN, PDEVICE_OBJECT, PDeviceContext, PHW_STREAM_REQUEST_BLOCK) { return STATUS_NOT_IMPLEMENTED; }
