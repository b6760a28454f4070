#include "tools/z40k/messages.h"

#include <algorithm>
#include <cstdio>

namespace z40k {
namespace {

// Optimal string alignment distance: insertions, deletions, substitutions and swaps of two neighbouring
// characters ("gian" for "gain") each count one.
size_t EditDistance(const std::string& A, const std::string& B) {
    std::vector<std::vector<size_t>> d(A.size() + 1, std::vector<size_t>(B.size() + 1));
    for (size_t i = 0; i <= A.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= B.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= A.size(); ++i) {
        for (size_t j = 1; j <= B.size(); ++j) {
            const size_t cost = A[i - 1] == B[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && A[i - 1] == B[j - 2] && A[i - 2] == B[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[A.size()][B.size()];
}

std::string WithoutDashes(const std::string& Word) {
    const size_t start = Word.find_first_not_of('-');
    return start == std::string::npos ? std::string() : Word.substr(start);
}

} // namespace

ProgramError UsageError(const std::string& What, const std::string& Why) {
    return ProgramError{What + ": " + Why, EXIT_USAGE};
}

ProgramError RuntimeError(const std::string& What, const std::string& Why) {
    return RuntimeError(What + ": " + Why);
}

ProgramError RuntimeError(const std::string& Message) {
    return ProgramError{Message, EXIT_RUNTIME_FAILURE};
}

std::string MessageLine(const std::string& Message) {
    std::string line = "z40k: " + Message;
    for (size_t at = line.find('\n'); at != std::string::npos; at = line.find('\n', at))
        line.replace(at, 1, "; ");
    return line + "\n";
}

void PrintError(const std::string& Message) {
    std::fputs(MessageLine(Message).c_str(), stderr);
}

void PrintError(const std::string& What, const std::string& Why) {
    PrintError(What + ": " + Why);
}

void PrintWarning(const std::string& What, const std::string& Why) {
    PrintError("warning: " + What, Why);
}

std::string Nearest(const std::string& Word, const std::vector<std::string>& Candidates) {
    // Dashes are the same for every option, so they say nothing about which one was meant.
    const std::string word = WithoutDashes(Word);
    if (word.empty())
        return std::string();
    std::string best;
    size_t bestDistance = SIZE_MAX;
    for (const std::string& candidate : Candidates) {
        const std::string name = WithoutDashes(candidate);
        // A word that begins one name ("--fram") is that name cut short.
        const bool prefix =
            word.size() >= 2 && name.size() > word.size() && name.compare(0, word.size(), word) == 0;
        const size_t distance = prefix ? 1 : EditDistance(word, name);
        // Near enough: one or two edits, and fewer than a third of the word, so that "-x" is not taken
        // for "-n".
        if (distance <= 2 && distance * 3 <= word.size() + 1 && distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

std::string Suggestion(const std::string& Word, const std::vector<std::string>& Candidates) {
    const std::string nearest = Nearest(Word, Candidates);
    return nearest.empty() ? std::string() : "; did you mean " + nearest + "?";
}

std::string Count(uint64_t N, const char* Singular, const char* Plural) {
    return std::to_string(N) + " " + (N == 1 ? Singular : Plural);
}

std::string RangeText(long long Minimum, long long Maximum) {
    return std::to_string(Minimum) + ".." + std::to_string(Maximum);
}

std::string ListText(const std::vector<std::string>& Items, const char* Last) {
    std::string text;
    for (size_t i = 0; i < Items.size(); ++i) {
        if (i > 0)
            text += i + 1 == Items.size() ? std::string(" ") + Last + " " : std::string(", ");
        text += Items[i];
    }
    return text;
}

} // namespace z40k
