// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "platform/stream_class.h"
VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE, PVOID, PHW_STREAM_REQUEST_BLOCK) {}
VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE, PHW_STREAM_OBJECT, PHW_STREAM_REQUEST_BLOCK) {}
