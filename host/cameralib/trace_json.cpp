#include "host/cameralib/trace_json.h"

#include <cstdio>

namespace cameralib {
namespace {

std::string StatusText(NTSTATUS Status) {
    char text[11];
    std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(Status));
    return text;
}

} // namespace

std::string HexBytes(const std::vector<uint8_t>& Bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(Bytes.size() * 2);
    for (uint8_t b : Bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

std::string VendorRequestJson(const VendorTraceRecord& Record) {
    std::string json = "{\"event\":\"vendor_request\"";
    json += ",\"request\":" + std::to_string(Record.Request);
    json += ",\"value\":" + std::to_string(Record.Value);
    json += ",\"index\":" + std::to_string(Record.Index);
    json += Record.DeviceToHost ? ",\"direction\":\"in\"" : ",\"direction\":\"out\"";
    json += ",\"length\":" + (Record.HasLength ? std::to_string(Record.Length) : std::string("null"));
    json += ",\"data\":\"" + HexBytes(Record.Data) + "\"";
    json += ",\"status\":\"" + StatusText(Record.Status) + "\"}";
    return json;
}

std::string AltSettingJson(const AltSettingTraceRecord& Record) {
    return "{\"event\":\"alt_setting\",\"setting\":" + std::to_string(Record.Setting) + ",\"status\":\"" +
           StatusText(Record.Status) + "\"}";
}

} // namespace cameralib
