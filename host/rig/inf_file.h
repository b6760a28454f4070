// A reader of INF files as the platform's installer reads them: sections in brackets, entries of an
// optional key and comma-separated fields, quoted strings, %token% substitution from [Strings], comments
// after ';' and lines continued with a trailing backslash. Anything it cannot read is refused with one
// line naming the file and the line.
#pragma once

#include <string>
#include <vector>

namespace rig {

// Longest line the installer takes, and longest section name.
constexpr size_t INF_MAX_LINE = 4096;
constexpr size_t INF_MAX_SECTION_NAME = 255;
// Largest INF file the installer reads (a driver's INF is a few kilobytes).
constexpr size_t INF_FILE_LIMIT = size_t(1) << 20;

struct InfEntry {
    unsigned Line = 0;               // where the entry starts
    std::string Key;                 // empty for an entry without '='
    std::vector<std::string> Fields; // after substitution, quotes removed; fields left empty stay empty
};

struct InfSection {
    std::string Name;
    unsigned Line = 0; // of the first [Name] header
    std::vector<InfEntry> Entries;
};

struct InfFile {
    std::string Name; // the file's name, for messages
    std::vector<InfSection> Sections;
    // The section of that name, compared without regard to case; null when there is none.
    const InfSection* Find(const std::string& Section) const;
    // "NAME:LINE: What", the form of every refusal.
    std::string Message(unsigned Line, const std::string& What) const;
};

// Sections of the same name are merged, as the installer does. False with a one-line *Error.
bool ParseInf(const std::string& Text, const std::string& FileName, InfFile* Out, std::string* Error);

// Case-insensitive comparison of ASCII names, as INF keys and sections compare, and the form they are
// compared in.
bool SameName(const std::string& A, const std::string& B);
std::string LowerName(std::string Name);

} // namespace rig
