#include "tools/z40k/trace_writer.h"

#include "tools/z40k/image_files.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace z40k {
namespace {

const char* RegistryTypeName(ULONG Type) {
    switch (Type) {
    case 0:
        return "REG_NONE";
    case 1:
        return "REG_SZ";
    case 2:
        return "REG_EXPAND_SZ";
    case 3:
        return "REG_BINARY";
    case 4:
        return "REG_DWORD";
    case 5:
        return "REG_DWORD_BIG_ENDIAN";
    case 6:
        return "REG_LINK";
    case 7:
        return "REG_MULTI_SZ";
    case 11:
        return "REG_QWORD";
    default:
        return nullptr;
    }
}

// A REG_SZ's UTF-16LE characters up to the terminating zero, as UTF-8 for the code points below 0x800
// that registry strings of this camera use; anything else becomes U+FFFD.
std::string Utf16ToUtf8(const std::vector<uint8_t>& Bytes) {
    std::string text;
    for (size_t i = 0; i + 1 < Bytes.size(); i += 2) {
        const unsigned c = Bytes[i] | Bytes[i + 1] << 8;
        if (c == 0)
            break;
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | c >> 6);
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += "\xEF\xBF\xBD";
        }
    }
    return text;
}

} // namespace

std::string RegistrySetJson(const rig::RegistryWrite& Value) {
    nlohmann::ordered_json j;
    j["event"] = "registry_set";
    j["key"] = Value.Key;
    j["name"] = Value.Name;
    const char* type = RegistryTypeName(Value.Type);
    if (type != nullptr)
        j["type"] = type;
    else
        j["type"] = "REG_TYPE_" + std::to_string(Value.Type);
    if (Value.Type == 4 && Value.Data.size() == 4)
        j["value"] = uint32_t(Value.Data[0]) | uint32_t(Value.Data[1]) << 8 | uint32_t(Value.Data[2]) << 16 |
                     uint32_t(Value.Data[3]) << 24;
    else if (Value.Type == 1 || Value.Type == 2)
        j["value"] = Utf16ToUtf8(Value.Data);
    else
        j["value"] = rig::HexBytes(Value.Data);
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string FrameJson(const rig::FrameRecord& Frame) {
    std::string json = "{\"event\":\"frame\",\"index\":" + std::to_string(Frame.Index) +
                       ",\"bytes\":" + std::to_string(Frame.Bytes) +
                       ",\"packets\":" + std::to_string(Frame.Packets) +
                       ",\"dropped\":" + (Frame.Dropped ? "true" : "false");
    if (Frame.Still)
        json += ",\"still\":true";
    return json + "}";
}

TraceWriter::~TraceWriter() {
    Abandon();
}

bool TraceWriter::Open(const std::string& Path, const rig::Session& Session, std::string* Error) {
    Abandon();
    path_ = Path;
    toStandardOutput_ = Path == "-";
    if (toStandardOutput_) {
        inPlace_ = true;
        file_ = stdout;
    } else {
        target_ = OutputTarget(Path, &inPlace_).string();
        temp_ = inPlace_ ? target_ : target_ + ".tmp-" + std::to_string(::getpid());
        file_ = std::fopen(temp_.c_str(), "w");
    }
    if (file_ == nullptr) {
        *Error = Path + ": cannot write the trace: " + std::strerror(errno);
        return false;
    }
    error_ = 0;
    session_ = &Session;
    startUs_ = Session.NowMicroseconds();
    return true;
}

void TraceWriter::Line(int64_t TimeUs, const std::string& Json) {
    if (file_ == nullptr)
        return;
    int64_t t = TimeUs - startUs_;
    if (t < 0)
        t = 0;
    // {"t_us":N, then the event's own fields.
    std::string line = "{\"t_us\":" + std::to_string(t) + "," + Json.substr(1) + "\n";
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() && error_ == 0)
        error_ = errno != 0 ? errno : EIO;
}

void TraceWriter::Flush() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // Written records are not kept: the library's logs stay as short as the gap between two events.
    rig::Session::TakeRequestRecords(context_,
                                     [this](int64_t TimeUs, const std::string& Json) { Line(TimeUs, Json); });
}

void TraceWriter::RegistrySet(const rig::RegistryWrite& Write) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Flush();
    Line(session_->NowMicroseconds(), RegistrySetJson(Write));
}

void TraceWriter::SrbCompleted(const streamclass::SrbEvent& Event) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Flush();
    Line(Event.TimeUs, streamclass::SrbEventJson(Event));
}

void TraceWriter::Frame(const rig::FrameRecord& Frame) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Flush();
    Line(Frame.TimeUs, FrameJson(Frame));
}

bool TraceWriter::Commit(std::string* Error) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (file_ == nullptr) {
        *Error = "no trace open";
        return false;
    }
    Flush();
    errno = 0;
    if (Close() != 0 && error_ == 0)
        error_ = errno != 0 ? errno : EIO;
    if (error_ == 0 && !inPlace_ && std::rename(temp_.c_str(), target_.c_str()) != 0)
        error_ = errno;
    if (error_ != 0) {
        *Error = (toStandardOutput_ ? std::string("standard output") : path_) +
                 ": cannot write the trace: " + std::strerror(error_);
        if (!inPlace_)
            std::remove(temp_.c_str());
        return false;
    }
    return true;
}

int TraceWriter::Close() {
    std::FILE* file = file_;
    file_ = nullptr;
    // Standard output stays open for whatever else the program writes there; its buffer is flushed so
    // that a failure to write it is seen now.
    if (toStandardOutput_)
        return std::fflush(file) != 0 || std::ferror(file) ? EOF : 0;
    return std::fclose(file);
}

void TraceWriter::Abandon() {
    if (file_ == nullptr)
        return;
    Close();
    if (!inPlace_)
        std::remove(temp_.c_str());
}

} // namespace z40k
