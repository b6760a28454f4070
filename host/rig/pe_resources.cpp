#include "host/rig/pe_resources.h"

namespace pe {
namespace {

constexpr uint32_t RT_VERSION = 16;
constexpr uint32_t SUBDIRECTORY = 0x80000000u;
constexpr uint32_t FIXED_INFO_SIGNATURE = 0xFEEF04BDu;
constexpr uint32_t FIXED_INFO_SIZE = 52;
constexpr int MAX_DEPTH = 4; // VS_VERSION_INFO, StringFileInfo, a string table, a string

// Bounds-checked reads of the mapped image.
struct Span {
    const std::vector<uint8_t>& Bytes;
    bool Has(uint64_t At, uint64_t Length) const { return At <= Bytes.size() && Length <= Bytes.size() - At; }
    uint16_t U16(uint64_t At) const { return uint16_t(Bytes[At] | Bytes[At + 1] << 8); }
    uint32_t U32(uint64_t At) const { return uint32_t(U16(At)) | uint32_t(U16(At + 2)) << 16; }
};

// The entry of a resource directory with the given ID (or the first one when Id is 0): its offset word.
bool FindEntry(const Span& Image, uint32_t Root, uint32_t Directory, uint32_t Id, uint32_t* Offset) {
    if (!Image.Has(uint64_t(Root) + Directory, 16))
        return false;
    const uint64_t at = uint64_t(Root) + Directory;
    const uint32_t entries = uint32_t(Image.U16(at + 12)) + Image.U16(at + 14);
    if (!Image.Has(at + 16, uint64_t(entries) * 8))
        return false;
    for (uint32_t i = 0; i < entries; ++i) {
        if (Id == 0 || Image.U32(at + 16 + 8 * i) == Id) {
            *Offset = Image.U32(at + 16 + 8 * i + 4);
            return true;
        }
    }
    return false;
}

// UTF-16 text without surrogates (a version resource's keys and values) as UTF-8, up to a NUL or End;
// *Next is just past the NUL.
bool Utf16Text(const Span& Image, uint64_t At, uint64_t End, std::string* Out, uint64_t* Next) {
    Out->clear();
    for (; At + 2 <= End; At += 2) {
        const uint16_t c = Image.U16(At);
        if (c == 0) {
            *Next = At + 2;
            return true;
        }
        if (c < 0x80) {
            Out->push_back(char(c));
        } else if (c < 0x800) {
            Out->push_back(char(0xC0 | c >> 6));
            Out->push_back(char(0x80 | (c & 0x3F)));
        } else {
            Out->push_back(char(0xE0 | c >> 12));
            Out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
            Out->push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return false;
}

uint64_t Align4(uint64_t At) {
    return (At + 3) & ~uint64_t(3);
}

struct Reader {
    const Span& Image;
    VersionInfo* Out;
    bool SawFixed = false;
};

void SetFixed(const Span& Image, uint64_t At, VersionInfo* Out) {
    const uint32_t words[] = {Image.U32(At + 8), Image.U32(At + 12), Image.U32(At + 16), Image.U32(At + 20)};
    for (int i = 0; i < 2; ++i) {
        Out->FileVersion[2 * i] = uint16_t(words[i] >> 16);
        Out->FileVersion[2 * i + 1] = uint16_t(words[i]);
        Out->ProductVersion[2 * i] = uint16_t(words[2 + i] >> 16);
        Out->ProductVersion[2 * i + 1] = uint16_t(words[2 + i]);
    }
    Out->FileOs = Image.U32(At + 32);
    Out->FileType = Image.U32(At + 36);
    Out->FileSubtype = Image.U32(At + 40);
}

// The root's value, the fixed file information.
bool ReadFixed(Reader& R, const std::string& Key, uint64_t Value, uint64_t Bytes) {
    if (Key != "VS_VERSION_INFO" || Bytes < FIXED_INFO_SIZE || R.Image.U32(Value) != FIXED_INFO_SIGNATURE)
        return false;
    SetFixed(R.Image, Value, R.Out);
    R.SawFixed = true;
    return true;
}

// A string of the string table: its text, or empty for a value without its NUL.
void ReadString(Reader& R, const std::string& Key, uint64_t Value, uint64_t Bytes) {
    std::string content;
    uint64_t next;
    if (!Utf16Text(R.Image, Value, Value + Bytes, &content, &next))
        content.clear();
    R.Out->Strings[Key] = content;
}

// One node (length, value length, type, key, value, children) at At, inside [At, Limit); Parent is the
// key of the group (StringFileInfo or VarFileInfo) it belongs to, which says what its value holds.
bool ReadNode(Reader& R, uint64_t At, uint64_t Limit, const std::string& Parent, int Depth) {
    if (Depth > MAX_DEPTH || !R.Image.Has(At, 6) || At + 6 > Limit)
        return false;
    const uint64_t end = At + R.Image.U16(At);
    const uint32_t valueLength = R.Image.U16(At + 2);
    const bool text = R.Image.U16(At + 4) == 1;
    std::string key;
    uint64_t value;
    if (end > Limit || end < At + 6 || !Utf16Text(R.Image, At + 6, end, &key, &value))
        return false;
    value = Align4(value);
    const uint64_t valueBytes = text ? 2 * uint64_t(valueLength) : valueLength;
    if (value + valueBytes > end || (Depth == 0 && !ReadFixed(R, key, value, valueBytes)))
        return false;
    if (Depth == 3 && Parent != "VarFileInfo") {
        ReadString(R, key, value, valueBytes);
        return true;
    }
    const std::string& group = Depth == 1 ? key : Parent;
    for (uint64_t child = Align4(value + valueBytes); child + 6 <= end;) {
        const uint64_t length = R.Image.U16(child);
        if (length == 0 || !ReadNode(R, child, end, group, Depth + 1))
            return false;
        child = Align4(child + length);
    }
    return true;
}

} // namespace

bool ReadVersionInfo(const Image& Image, VersionInfo* Out, std::string* Error) {
    *Out = VersionInfo();
    const Span image{Image.Mapped};
    const Directory dir = Image.Directories[DIRECTORY_RESOURCE];
    if (dir.Size == 0)
        return Fail(Error, "no resources");
    uint32_t type, name, language;
    if (!FindEntry(image, dir.Rva, 0, RT_VERSION, &type) || !(type & SUBDIRECTORY))
        return Fail(Error, "no version resource");
    if (!FindEntry(image, dir.Rva, type & ~SUBDIRECTORY, 0, &name) || !(name & SUBDIRECTORY) ||
        !FindEntry(image, dir.Rva, name & ~SUBDIRECTORY, 0, &language) || (language & SUBDIRECTORY) ||
        !image.Has(uint64_t(dir.Rva) + language, 16))
        return Fail(Error, "version resource directory is malformed");
    const uint32_t data = image.U32(uint64_t(dir.Rva) + language);
    const uint32_t size = image.U32(uint64_t(dir.Rva) + language + 4);
    if (!image.Has(data, size))
        return Fail(Error, "version resource lies outside the image");
    Reader reader{image, Out};
    if (!ReadNode(reader, data, uint64_t(data) + size, "", 0) || !reader.SawFixed)
        return Fail(Error, "version resource is malformed");
    return true;
}

} // namespace pe
