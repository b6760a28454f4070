#include "host/rig/inf_file.h"

#include <cctype>
#include <map>

namespace rig {
namespace {

// One logical line: its number and its text with continuations joined and the comment removed.
struct RawLine {
    unsigned Number;
    std::string Text;
};

std::string TrimInf(const std::string& S) {
    size_t first = 0, last = S.size();
    while (first < last && std::isspace(static_cast<unsigned char>(S[first])))
        ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(S[last - 1])))
        --last;
    return S.substr(first, last - first);
}

// The text before a comment: a ';' outside double quotes ends the line.
std::string WithoutComment(const std::string& Line) {
    bool quoted = false;
    for (size_t i = 0; i < Line.size(); ++i) {
        if (Line[i] == '"')
            quoted = !quoted;
        else if (Line[i] == ';' && !quoted)
            return Line.substr(0, i);
    }
    return Line;
}

// Splits Text into lines (LF or CRLF), refusing one that is too long or holds a NUL, and joins each line
// that ends in a backslash with the next.
bool SplitInfLines(const std::string& Text, const InfFile& File, std::vector<RawLine>* Out, std::string* Error) {
    size_t at = Text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; // a UTF-8 byte-order mark
    unsigned number = 0;
    RawLine pending{0, ""};
    bool continuing = false;
    while (at < Text.size()) {
        size_t end = Text.find('\n', at);
        if (end == std::string::npos)
            end = Text.size();
        std::string line = Text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > INF_MAX_LINE) {
            *Error = File.Message(number, "line longer than " + std::to_string(INF_MAX_LINE) + " characters");
            return false;
        }
        if (line.find('\0') != std::string::npos) {
            *Error = File.Message(number, "a NUL character: not a text INF");
            return false;
        }
        std::string text = TrimInf(WithoutComment(line));
        if (!continuing)
            pending = {number, ""};
        continuing = !text.empty() && text.back() == '\\';
        if (continuing)
            text.pop_back();
        pending.Text += text;
        if (!continuing && !TrimInf(pending.Text).empty())
            Out->push_back({pending.Number, TrimInf(pending.Text)});
    }
    if (continuing && !TrimInf(pending.Text).empty())
        Out->push_back({pending.Number, TrimInf(pending.Text)});
    return true;
}

// Fields of an entry's value: separated by commas outside quotes; a quoted part loses its quotes and
// "" inside it stands for one quote.
bool SplitFields(const std::string& Value, std::vector<std::string>* Fields) {
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < Value.size(); ++i) {
        const char c = Value[i];
        if (c == '"' && quoted && i + 1 < Value.size() && Value[i + 1] == '"') {
            field += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            Fields->push_back(TrimInf(field));
            field.clear();
        } else {
            field += c;
        }
    }
    Fields->push_back(TrimInf(field));
    return !quoted;
}

// The position of the '=' that separates an entry's key from its value, outside quotes.
size_t KeySeparator(const std::string& Text) {
    bool quoted = false;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '"')
            quoted = !quoted;
        else if (Text[i] == '=' && !quoted)
            return i;
    }
    return std::string::npos;
}

// Replaces %token% by its string and %% by %; a token without a string is refused.
bool Substitute(const std::string& In, const std::map<std::string, std::string>& Strings, std::string* Out,
                std::string* Token) {
    Out->clear();
    for (size_t i = 0; i < In.size(); ++i) {
        if (In[i] != '%') {
            *Out += In[i];
            continue;
        }
        const size_t close = In.find('%', i + 1);
        if (close == std::string::npos) {
            *Out += In.substr(i);
            return true;
        }
        const std::string token = In.substr(i + 1, close - i - 1);
        if (token.empty()) {
            *Out += '%';
        } else {
            const auto s = Strings.find(LowerName(token));
            if (s == Strings.end() && !std::isdigit(static_cast<unsigned char>(token[0]))) {
                *Token = token;
                return false;
            }
            // %12% and the like are directory IDs: kept for the directive that reads them.
            *Out += s == Strings.end() ? "%" + token + "%" : s->second;
        }
        i = close;
    }
    return true;
}

bool ParseEntry(const RawLine& Line, const InfFile& File, InfEntry* Out, std::string* Error) {
    Out->Line = Line.Number;
    const size_t eq = KeySeparator(Line.Text);
    std::string value = Line.Text;
    if (eq != std::string::npos) {
        std::vector<std::string> key;
        SplitFields(Line.Text.substr(0, eq), &key);
        Out->Key = key.front();
        value = Line.Text.substr(eq + 1);
    }
    if (!SplitFields(value, &Out->Fields)) {
        *Error = File.Message(Line.Number, "a quoted string is not closed");
        return false;
    }
    return true;
}

// Groups the lines into sections; an entry before the first section, or a malformed header, is refused.
bool GroupSections(const std::vector<RawLine>& Lines, InfFile* Out, std::string* Error) {
    InfSection* current = nullptr;
    for (const RawLine& line : Lines) {
        if (line.Text[0] == '[') {
            const size_t close = line.Text.find(']');
            if (close == std::string::npos || close != line.Text.size() - 1 || close == 1) {
                *Error = Out->Message(line.Number, "a section header must be [name] alone on its line");
                return false;
            }
            const std::string name = TrimInf(line.Text.substr(1, close - 1));
            if (name.size() > INF_MAX_SECTION_NAME) {
                *Error = Out->Message(line.Number, "section name longer than 255 characters");
                return false;
            }
            current = nullptr;
            for (InfSection& s : Out->Sections)
                current = current == nullptr && SameName(s.Name, name) ? &s : current;
            if (current == nullptr) {
                Out->Sections.push_back({name, line.Number, {}});
                current = &Out->Sections.back();
            }
            continue;
        }
        if (current == nullptr) {
            *Error = Out->Message(line.Number, "an entry before the first section");
            return false;
        }
        InfEntry entry;
        if (!ParseEntry(line, *Out, &entry, Error))
            return false;
        current->Entries.push_back(std::move(entry));
    }
    return true;
}

// Every field and key through the [Strings] section (whose own entries are taken as written).
bool SubstituteStrings(InfFile* Out, std::string* Error) {
    std::map<std::string, std::string> strings;
    if (const InfSection* s = Out->Find("Strings")) {
        for (const InfEntry& e : s->Entries)
            strings[LowerName(e.Key)] = e.Fields.empty() ? "" : e.Fields.front();
    }
    for (InfSection& section : Out->Sections) {
        if (SameName(section.Name, "Strings"))
            continue;
        for (InfEntry& entry : section.Entries) {
            std::string token, replaced;
            bool good = Substitute(entry.Key, strings, &replaced, &token);
            if (good)
                entry.Key = replaced;
            for (size_t i = 0; good && i < entry.Fields.size(); ++i) {
                good = Substitute(entry.Fields[i], strings, &replaced, &token);
                entry.Fields[i] = replaced;
            }
            if (!good) {
                *Error = Out->Message(entry.Line, "%" + token + "% is not in [Strings]");
                return false;
            }
        }
    }
    return true;
}

} // namespace

std::string LowerName(std::string Name) {
    for (char& c : Name)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return Name;
}

bool SameName(const std::string& A, const std::string& B) {
    return A.size() == B.size() && LowerName(A) == LowerName(B);
}

const InfSection* InfFile::Find(const std::string& Section) const {
    for (const InfSection& s : Sections) {
        if (SameName(s.Name, Section))
            return &s;
    }
    return nullptr;
}

std::string InfFile::Message(unsigned Line, const std::string& What) const {
    return Name + ":" + std::to_string(Line) + ": " + What;
}

bool ParseInf(const std::string& Text, const std::string& FileName, InfFile* Out, std::string* Error) {
    *Out = InfFile();
    Out->Name = FileName;
    std::vector<RawLine> lines;
    return SplitInfLines(Text, *Out, &lines, Error) && GroupSections(lines, Out, Error) &&
           SubstituteStrings(Out, Error);
}

} // namespace rig
