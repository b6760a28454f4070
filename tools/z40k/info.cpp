// z40k info: the filter as a capture application sees it - the streams the driver reports, their data
// ranges and property sets, the format that intersection offers, and the advertised device properties.
#include "tools/z40k/commands.h"
#include "tools/z40k/device_properties_cli.h"

#include "tools/z40k/one_camera.h"
#include "host/streamclass/client.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

std::string GuidText(const GUID& Guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(Guid.Data1), Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1],
                  Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    return text;
}

struct KnownGuid {
    const GUID* Guid;
    const char* Name;
};

const KnownGuid KNOWN_GUIDS[] = {
    {&KSDATAFORMAT_TYPE_VIDEO, "KSDATAFORMAT_TYPE_VIDEO"},
    {&KSDATAFORMAT_SUBTYPE_RGB24, "KSDATAFORMAT_SUBTYPE_RGB24"},
    {&KSDATAFORMAT_SPECIFIER_VIDEOINFO, "KSDATAFORMAT_SPECIFIER_VIDEOINFO"},
    {&PINNAME_VIDEO_CAPTURE, "PINNAME_VIDEO_CAPTURE"},
    {&PINNAME_VIDEO_STILL, "PINNAME_VIDEO_STILL"},
    {&KSPROPSETID_Connection, "KSPROPSETID_Connection"},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, "PROPSETID_VIDCAP_DROPPEDFRAMES"},
    {&CameraPropertySetGuid, "Z40K camera property set"},
};

std::string GuidName(const GUID& Guid) {
    for (const KnownGuid& known : KNOWN_GUIDS) {
        if (IsEqualGUID(*known.Guid, Guid))
            return known.Name;
    }
    return GuidText(Guid);
}

// Items the published property catalogue does not list: the stream properties the stream class asks
// for, and the camera set's two IDs that do nothing.
struct KnownItem {
    const GUID* Set;
    ULONG Id;
    const char* Name;
};

const KnownItem KNOWN_ITEMS[] = {
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, "allocator-framing"},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, "dropped-frames"},
    {&CameraPropertySetGuid, CameraPropertyNoOp12, "no-op-12"},
    {&CameraPropertySetGuid, CameraPropertyNoOp13, "no-op-13"},
};

std::string PropertyItemName(const GUID& Set, ULONG Id) {
    if (IsEqualGUID(Set, CameraPropertySetGuid)) {
        for (const NamedProperty& property : NamedProperties()) {
            if (property.Set == PropertySetKind::Camera && property.Id == Id)
                return property.Name;
        }
    }
    for (const KnownItem& known : KNOWN_ITEMS) {
        if (IsEqualGUID(*known.Set, Set) && known.Id == Id)
            return known.Name;
    }
    return "id-" + std::to_string(Id);
}

nlohmann::json PropertySetJson(const KSPROPERTY_SET& Set) {
    nlohmann::json items = nlohmann::json::array();
    for (ULONG i = 0; i < Set.PropertiesCount; ++i) {
        const KSPROPERTY_ITEM& item = Set.PropertyItem[i];
        nlohmann::json entry = {{"id", item.PropertyId},
                                {"get", streamclass::ItemSupported(&item.GetPropertyHandler)},
                                {"set", streamclass::ItemSupported(&item.SetPropertyHandler)},
                                {"min_property", item.MinProperty},
                                {"min_data", item.MinData}};
        entry["name"] = PropertyItemName(*Set.Set, item.PropertyId);
        items.push_back(entry);
    }
    return {{"set", GuidName(*Set.Set)}, {"guid", GuidText(*Set.Set)}, {"items", items}};
}

nlohmann::json RangeJson(const KS_DATARANGE_VIDEO& Range) {
    const KS_VIDEO_STREAM_CONFIG_CAPS& caps = Range.ConfigCaps;
    const KS_BITMAPINFOHEADER& bmi = Range.VideoInfoHeader.bmiHeader;
    return {{"major_format", GuidName(Range.DataRange.MajorFormat)},
            {"sub_format", GuidName(Range.DataRange.SubFormat)},
            {"specifier", GuidName(Range.DataRange.Specifier)},
            {"format_size", Range.DataRange.FormatSize},
            {"sample_size", Range.DataRange.SampleSize},
            {"width", bmi.biWidth},
            {"height", bmi.biHeight},
            {"bit_count", bmi.biBitCount},
            {"image_size", bmi.biSizeImage},
            {"still", (Range.StreamDescriptionFlags & KS_VIDEOSTREAM_STILL) != 0},
            {"min_frame_interval_100ns", static_cast<long long>(caps.MinFrameInterval)},
            {"max_frame_interval_100ns", static_cast<long long>(caps.MaxFrameInterval)},
            {"min_bits_per_second", caps.MinBitsPerSecond},
            {"max_bits_per_second", caps.MaxBitsPerSecond},
            {"avg_time_per_frame_100ns", static_cast<long long>(Range.VideoInfoHeader.AvgTimePerFrame)},
            {"bit_rate", Range.VideoInfoHeader.dwBitRate}};
}

nlohmann::json Describe(streamclass::Filter& Filter) {
    nlohmann::json streams = nlohmann::json::array();
    for (ULONG s = 0; s < Filter.StreamCount(); ++s) {
        const HW_STREAM_INFORMATION& info = Filter.StreamInfo(s);
        nlohmann::json ranges = nlohmann::json::array();
        for (const KS_DATARANGE_VIDEO* range : Filter.Ranges(s)) {
            nlohmann::json entry = RangeJson(*range);
            std::vector<uint8_t> format;
            const NTSTATUS status = Filter.Intersect(s, &range->DataRange, &format);
            if (NT_SUCCESS(status) && format.size() >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
                const auto* f = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
                entry["offered_format"] = {
                    {"format_size", f->DataFormat.FormatSize},
                    {"sample_size", f->DataFormat.SampleSize},
                    {"avg_time_per_frame_100ns", static_cast<long long>(f->VideoInfoHeader.AvgTimePerFrame)}};
            } else {
                entry["offered_format"] = {{"status", StatusName(status)}};
            }
            ranges.push_back(entry);
        }
        nlohmann::json sets = nlohmann::json::array();
        for (ULONG p = 0; p < info.NumStreamPropArrayEntries; ++p)
            sets.push_back(PropertySetJson(info.StreamPropertiesArray[p]));
        streams.push_back({{"stream", s},
                           {"pin", GuidName(*info.Name)},
                           {"category", GuidName(*info.Category)},
                           {"data_flow", info.DataFlow == KSPIN_DATAFLOW_OUT ? "out" : "in"},
                           {"instances", info.NumberOfPossibleInstances},
                           {"ranges", ranges},
                           {"property_sets", sets}});
    }
    nlohmann::json deviceSets = nlohmann::json::array();
    const HW_STREAM_HEADER& header = Filter.StreamHeader();
    for (ULONG p = 0; p < header.NumDevPropArrayEntries; ++p)
        deviceSets.push_back(PropertySetJson(header.DevicePropertiesArray[p]));
    return {{"streams", streams}, {"device_property_sets", deviceSets}};
}

void PrintPropertySet(const nlohmann::json& Set, const char* Indent) {
    std::printf("%sproperty set %s\n", Indent, Set["set"].get<std::string>().c_str());
    for (const nlohmann::json& item : Set["items"]) {
        std::string access = std::string(item["get"].get<bool>() ? "get" : "") +
                             (item["get"].get<bool>() && item["set"].get<bool>() ? "/" : "") +
                             (item["set"].get<bool>() ? "set" : "");
        std::string name = item.contains("name") ? item["name"].get<std::string>() : "";
        std::printf("%s  id %-3u %-8s %-22s (min property %u, min data %u)\n", Indent,
                    item["id"].get<unsigned>(), access.c_str(), name.c_str(),
                    item["min_property"].get<unsigned>(), item["min_data"].get<unsigned>());
    }
}

// The video info header's dwBitRate, in the unit it is in: the driver shows applications the byte rate
// there, which beside the caps' bits per second would read as a rate eight times too low.
std::string BitRateText(const nlohmann::json& Range) {
    const unsigned long long rate = Range["bit_rate"].get<unsigned>();
    const long long caps = Range["max_bits_per_second"].get<long long>();
    if (rate * 8 == static_cast<unsigned long long>(caps))
        return "video info dwBitRate " + std::to_string(rate) + " bytes/s (" + std::to_string(caps) +
               " bit/s)";
    return "video info dwBitRate " + std::to_string(rate) + " bit/s";
}

void PrintText(const nlohmann::json& Info) {
    for (const nlohmann::json& stream : Info["streams"]) {
        std::printf("stream %u: %s, data flow %s, %u instance(s)\n", stream["stream"].get<unsigned>(),
                    stream["pin"].get<std::string>().c_str(), stream["data_flow"].get<std::string>().c_str(),
                    stream["instances"].get<unsigned>());
        for (const nlohmann::json& range : stream["ranges"]) {
            const long long interval = range["max_frame_interval_100ns"].get<long long>();
            std::printf("  range: %s %s, %d x %d, %u bits, %u bytes per frame, %s\n",
                        range["major_format"].get<std::string>().c_str(),
                        range["sub_format"].get<std::string>().c_str(), range["width"].get<int>(),
                        range["height"].get<int>(), range["bit_count"].get<unsigned>(),
                        range["sample_size"].get<unsigned>(),
                        range["height"].get<int>() > 0 ? "bottom-up" : "top-down");
            std::printf("         frame interval %lld..%lld (%.2f fps), %d..%d bit/s, %s%s\n",
                        range["min_frame_interval_100ns"].get<long long>(), interval,
                        interval > 0 ? 1e7 / static_cast<double>(interval) : 0.0,
                        range["min_bits_per_second"].get<int>(), range["max_bits_per_second"].get<int>(),
                        BitRateText(range).c_str(), range["still"].get<bool>() ? ", still" : "");
            const nlohmann::json& offered = range["offered_format"];
            if (offered.contains("status"))
                std::printf("  intersection: %s\n", offered["status"].get<std::string>().c_str());
            else
                std::printf(
                    "  intersection offers: %u-byte format, %u bytes per sample, %lld x 100 ns per frame\n",
                    offered["format_size"].get<unsigned>(), offered["sample_size"].get<unsigned>(),
                    offered["avg_time_per_frame_100ns"].get<long long>());
        }
        for (const nlohmann::json& set : stream["property_sets"])
            PrintPropertySet(set, "  ");
    }
    std::printf("device properties:\n");
    for (const nlohmann::json& set : Info["device_property_sets"])
        PrintPropertySet(set, "  ");
}

int RunInfo(bool Json) {
    rig::Session session;
    streamclass::Filter* camera = z40k::BringUpOneCamera(session, rig::SessionOptions());
    if (camera == nullptr)
        return EXIT_RUNTIME_FAILURE;
    streamclass::Filter& filter = *camera;
    const nlohmann::json info = Describe(filter);
    filter.Unload();
    const std::vector<std::string> violations = streamclass::Violations();
    for (const std::string& violation : violations)
        z40k::PrintError("stream class", violation);
    if (Json)
        std::cout << info.dump() << "\n";
    else
        PrintText(info);
    return violations.empty() ? 0 : EXIT_RUNTIME_FAILURE;
}

} // namespace

CLI::App* AddInfoCommand(CLI::App& App, int* ExitCode) {
    CLI::App* command = App.add_subcommand(
        "info",
        "Print the stream and format descriptors and the advertised properties of the camera's filter");
    static bool json = false;
    command->add_flag("--json", json, "one JSON object instead of the text listing");
    command->callback([ExitCode]() { *ExitCode = RunInfo(json); });
    return command;
}
