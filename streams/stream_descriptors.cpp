// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "streams/stream_descriptors.h"
const HW_STREAM_INFORMATION StreamInfoTable[STREAM_TABLE_ENTRIES] = {};
