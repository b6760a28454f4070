// Conversions between the UTF-16 strings of the kernel calls and the UTF-8 strings of the host side, and
// the other string helpers the kernel stand-in's files share.
#include "host/kernel/kernel_internal.h"

namespace host {
namespace detail {

bool Utf8FromUtf16(const char16_t* Text, size_t Count, std::string* Out) {
    std::string result;
    for (size_t i = 0; i < Count; ++i) {
        uint32_t c = Text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= Count || Text[i + 1] < 0xDC00 || Text[i + 1] > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (Text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            result += static_cast<char>(0xE0 | (c >> 12));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (c >> 18));
            result += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    *Out = result;
    return true;
}

bool Utf8FromUnicode(const UNICODE_STRING* Source, std::string* Out) {
    if (Source == nullptr || (Source->Length & 1) != 0 || (Source->Length != 0 && Source->Buffer == nullptr))
        return false;
    if (Source->MaximumLength != 0 && Source->Length > Source->MaximumLength)
        return false;
    return Utf8FromUtf16(Source->Buffer, Source->Length / 2, Out);
}

std::u16string Utf16FromUtf8(const std::string& Text) {
    std::u16string result;
    for (size_t i = 0; i < Text.size();) {
        unsigned char b = static_cast<unsigned char>(Text[i]);
        uint32_t c;
        size_t extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else {
            c = b & 0x07;
            extra = 3;
        }
        ++i;
        for (size_t k = 0; k < extra && i < Text.size(); ++k, ++i)
            c = (c << 6) | (static_cast<unsigned char>(Text[i]) & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            result += static_cast<char16_t>(0xD800 + (c >> 10));
            result += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            result += static_cast<char16_t>(c);
        }
    }
    return result;
}

std::string FoldCase(const std::string& Text) {
    std::string result = Text;
    for (char& c : result) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return result;
}

bool SplitPath(const std::string& Path, std::vector<std::string>* Parts) {
    Parts->clear();
    size_t start = 0;
    while (true) {
        size_t end = Path.find('\\', start);
        std::string part = Path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty())
            return false;
        Parts->push_back(part);
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

} // namespace detail
} // namespace host
