// The version resource of a PE image, read from its resource directory as Windows' version API reads it:
// what an installer and the file's properties show of a build.
#pragma once

#include "host/rig/pe_image.h"

#include <cstdint>
#include <map>
#include <string>

namespace pe {

struct VersionInfo {
    uint16_t FileVersion[4] = {}; // major, minor, build, revision
    uint16_t ProductVersion[4] = {};
    uint32_t FileOs = 0;
    uint32_t FileType = 0;
    uint32_t FileSubtype = 0;
    std::map<std::string, std::string> Strings; // the string table's values by name, as UTF-8
};

// The image's first version resource; false with a one-line reason when there is none or it is malformed.
bool ReadVersionInfo(const Image& Image, VersionInfo* Out, std::string* Error);

} // namespace pe
