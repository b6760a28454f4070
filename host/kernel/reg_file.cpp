// Reading and writing .reg files in the format the Registry Editor exports and imports:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\...\0000\Z40K_Settings]
//   "Exposure Time"=dword:000002ee
//   "Name"="text with \"quotes\" and \\ backslashes"
//   @=hex:01,02,03
//   "Other"=hex(7):41,00,00,00,00,00
//
// Long hex values continue on the next line after a trailing backslash. "name"=- and [-key] delete, as on
// import. Lines starting with ';' are comments.
#include "host/kernel/kernel_internal.h"
#include "host/kernel/registry_tree.h"

#include <cctype>

namespace host {
namespace detail {
namespace {

const char* const HEADER = "Windows Registry Editor Version 5.00";
const char* const HEADER_V4 = "REGEDIT4";
const char* const EOL = "\r\n";
constexpr size_t HEX_LINE_LIMIT = 77; // regedit keeps its lines within 80 columns

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// Reads a quoted string starting at text[*pos] == '"'; leaves *pos after the closing quote.
bool Unquote(const std::string& text, size_t* pos, std::string* out) {
    out->clear();
    size_t i = *pos + 1;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= text.size())
                return false;
            c = text[++i];
        }
        *out += c;
        ++i;
    }
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexNumber(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 8)
        return false;
    uint32_t v = 0;
    for (char c : text) {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
    bytes->clear();
    std::string list = Trim(text);
    if (list.empty())
        return true;
    if (list.back() == ',')
        list.pop_back();
    size_t start = 0;
    while (true) {
        size_t end = list.find(',', start);
        std::string item =
            Trim(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
        uint32_t byte;
        if (item.size() > 2 || !ParseHexNumber(item, &byte))
            return false;
        bytes->push_back(static_cast<uint8_t>(byte));
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

// Registry strings are UTF-16 with a terminating zero.
std::vector<uint8_t> StringData(const std::string& text) {
    std::u16string wide = Utf16FromUtf8(text);
    std::vector<uint8_t> data;
    for (char16_t c : wide) {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

// The text of REG_SZ data that the quoted form can carry unchanged, or false.
bool StringText(const std::vector<uint8_t>& data, std::string* text) {
    if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0)
        return false;
    std::u16string wide;
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0 || c == u'\r' || c == u'\n')
            return false;
        wide += c;
    }
    return Utf8FromUtf16(wide.data(), wide.size(), text);
}

std::string HexValue(const std::string& prefix, const std::vector<uint8_t>& data) {
    std::string out = prefix;
    size_t line = prefix.size();
    for (size_t i = 0; i < data.size(); ++i) {
        char item[4];
        std::snprintf(item, sizeof item, "%02x", data[i]);
        bool last = i + 1 == data.size();
        if (line + 3 > HEX_LINE_LIMIT && !last) {
            out += std::string("\\") + EOL + "  ";
            line = 2;
        }
        out += item;
        line += 2;
        if (!last) {
            out += ',';
            ++line;
        }
    }
    return out;
}

void FormatKey(const RegKey& key, const std::string& path, int depth, std::string* out) {
    // The predefined roots are not written on their own: they always exist.
    if (depth > 1 || !key.Values.empty()) {
        *out += "[" + path + "]" + EOL;
        for (const auto& entry : key.Values) {
            std::string line = entry.first.empty() ? "@=" : Quote(entry.first) + "=";
            const RegistryValue& value = entry.second;
            std::string text;
            if (value.Type == REG_DWORD && value.Data.size() == 4) {
                char number[16];
                uint32_t v = value.Data[0] | (value.Data[1] << 8) | (value.Data[2] << 16) |
                             (static_cast<uint32_t>(value.Data[3]) << 24);
                std::snprintf(number, sizeof number, "dword:%08x", v);
                line += number;
            } else if (value.Type == REG_SZ && StringText(value.Data, &text)) {
                line += Quote(text);
            } else if (value.Type == REG_BINARY) {
                line = HexValue(line + "hex:", value.Data);
            } else {
                char prefix[24];
                std::snprintf(prefix, sizeof prefix, "hex(%x):", value.Type);
                line = HexValue(line + prefix, value.Data);
            }
            *out += line + EOL;
        }
        *out += EOL;
    }
    for (const auto& subkey : key.Subkeys)
        FormatKey(*subkey, path.empty() ? subkey->Name : path + "\\" + subkey->Name, depth + 1, out);
}

std::string Utf8OfFileText(const std::string& raw) {
    if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFF && static_cast<uint8_t>(raw[1]) == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < raw.size(); i += 2)
            wide +=
                static_cast<char16_t>(static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8));
        std::string text;
        if (!Utf8FromUtf16(wide.data(), wide.size(), &text))
            return std::string();
        return text;
    }
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return raw.substr(3);
    return raw;
}

// The file's lines without their line ends.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

// The data of a value line after its '=': a quoted string, dword:, hex: or hex(N):. On failure *Reason
// says what is wrong.
bool ParseValueData(const std::string& spec, RegistryValue* value, std::string* reason) {
    if (!spec.empty() && spec[0] == '"') {
        std::string data;
        size_t end = 0;
        if (!Unquote(spec, &end, &data) || end != spec.size()) {
            *reason = "malformed string value";
            return false;
        }
        *value = {REG_SZ, StringData(data)};
        return true;
    }
    if (spec.compare(0, 6, "dword:") == 0) {
        uint32_t v;
        if (!ParseHexNumber(spec.substr(6), &v)) {
            *reason = "dword: needs 1 to 8 hex digits";
            return false;
        }
        *value = {REG_DWORD,
                  {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                   static_cast<uint8_t>(v >> 24)}};
        return true;
    }
    size_t bytes = 0;
    if (spec.compare(0, 4, "hex:") == 0) {
        value->Type = REG_BINARY;
        bytes = 4;
    } else if (spec.compare(0, 4, "hex(") == 0) {
        size_t close = spec.find("):");
        uint32_t type;
        if (close == std::string::npos || !ParseHexNumber(spec.substr(4, close - 4), &type)) {
            *reason = "hex(N): needs a hex type number";
            return false;
        }
        value->Type = type;
        bytes = close + 2;
    } else {
        *reason = "unknown value form: " + spec.substr(0, 20);
        return false;
    }
    if (!ParseHexBytes(spec.substr(bytes), &value->Data)) {
        *reason = "malformed hex bytes";
        return false;
    }
    return true;
}

// One pass over a file's lines, building the tree its sections and values describe.
class RegFileReader {
  public:
    RegFileReader(const std::vector<std::string>& lines, const std::string& file_name, std::string* error)
        : lines_(lines), file_name_(file_name), error_(error), root_(NewRegistryRoot()) {}

    // Reads every line; false with the error set at the first bad one.
    bool ReadLines() {
        for (index_ = 0; index_ < lines_.size(); ++index_) {
            line_number_ = index_ + 1;
            std::string line = Trim(lines_[index_]);
            if (line.empty() || line[0] == ';')
                continue;
            if (!header_) {
                if (line != HEADER && line != HEADER_V4)
                    return Fail(std::string("not a registry file: the first line must be \"") + HEADER +
                                "\"");
                header_ = true;
                continue;
            }
            if (!(line[0] == '[' ? ReadKeyLine(line) : ReadValueLine(line)))
                return false;
        }
        return true;
    }

    // After ReadLines: whether the header line came, the tree, and the failure at the file's last line.
    bool SawHeader() const { return header_; }
    std::unique_ptr<RegKey> TakeRoot() { return std::move(root_); }
    bool FailAtEnd(const std::string& reason) {
        line_number_ = lines_.empty() ? 1 : lines_.size();
        return Fail(reason);
    }

  private:
    bool Fail(const std::string& reason) {
        *error_ = file_name_ + ":" + std::to_string(line_number_) + ": " + reason;
        return false;
    }

    // [path] opens (creating it) the key values then go to; [-path] deletes it and its subtree.
    bool ReadKeyLine(const std::string& line) {
        if (line.back() != ']')
            return Fail("a key line must end with ']'");
        std::string path = line.substr(1, line.size() - 2);
        bool remove = !path.empty() && path[0] == '-';
        if (remove)
            path = path.substr(1);
        std::vector<std::string> parts;
        if (!SplitPath(path, &parts))
            return Fail("empty key name in [" + path + "]");
        RegKey* key = FindSubkey(root_.get(), parts[0]);
        if (key == nullptr)
            return Fail("unknown root key " + parts[0]);
        current_ = nullptr;
        if (remove) {
            for (size_t k = 1; key != nullptr && k + 1 < parts.size(); ++k)
                key = FindSubkey(key, parts[k]);
            if (key != nullptr && parts.size() > 1)
                RemoveSubkey(key, parts.back());
            return true;
        }
        for (size_t k = 1; k < parts.size() && key != nullptr; ++k)
            key = AddSubkey(key, parts[k]);
        if (key == nullptr)
            return Fail("a key nested deeper than " + std::to_string(MAX_KEY_DEPTH) + " levels");
        current_ = key;
        return true;
    }

    // "name"=data or @=data sets a value of the open key; "name"=- deletes it.
    bool ReadValueLine(const std::string& line) {
        if (current_ == nullptr)
            return Fail("a value outside any [key] section");
        std::string name;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            if (!Unquote(line, &pos, &name))
                return Fail("unterminated value name");
        } else {
            return Fail("a line must be a [key], a \"name\"=value or @=value");
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size() || line[pos] != '=')
            return Fail("'=' expected after the value name");
        std::string spec = Trim(line.substr(pos + 1));
        if (spec.compare(0, 3, "hex") == 0 && !JoinContinuation(&spec))
            return false;
        if (spec == "-") {
            RemoveValue(current_, name);
            return true;
        }
        RegistryValue value;
        std::string reason;
        if (!ParseValueData(spec, &value, &reason))
            return Fail(reason);
        SetValue(current_, name, value);
        return true;
    }

    // Hex data may continue over following lines, each ending in a backslash but the last; they are
    // consumed here, and errors still name the value's first line.
    bool JoinContinuation(std::string* spec) {
        while (!spec->empty() && spec->back() == '\\') {
            spec->pop_back();
            if (index_ + 1 >= lines_.size())
                return Fail("the file ends inside a continued value");
            *spec += Trim(lines_[++index_]);
        }
        return true;
    }

    const std::vector<std::string>& lines_;
    const std::string& file_name_;
    std::string* error_;
    std::unique_ptr<RegKey> root_;
    RegKey* current_ = nullptr; // the key of the last [section], null after a deletion or before any
    bool header_ = false;
    size_t index_ = 0;       // the line being read
    size_t line_number_ = 0; // the line errors name: the first of a continued value
};

} // namespace

std::string FormatRegFile(const RegKey& Root) {
    std::string out = std::string(HEADER) + EOL + EOL;
    for (const auto& hive : Root.Subkeys)
        FormatKey(*hive, hive->Name, 1, &out);
    return out;
}

bool ParseRegFile(const std::string& Text, const std::string& FileName, std::unique_ptr<RegKey>* Root,
                  std::string* Error) {
    std::string text = Utf8OfFileText(Text);
    std::vector<std::string> lines = SplitLines(text);
    RegFileReader reader(lines, FileName, Error);
    if (!reader.ReadLines())
        return false;
    // A file with nothing in it (a registry that was created empty) is an empty registry.
    if (!reader.SawHeader() && text.find_first_not_of(" \t\r\n") != std::string::npos)
        return reader.FailAtEnd(std::string("not a registry file: no \"") + HEADER + "\" line");
    *Root = reader.TakeRoot();
    return true;
}

} // namespace detail
} // namespace host
