// How z40k speaks: every error is one line `z40k: WHAT: WHY` on standard error, WHAT being what the
// user gave or the thing that failed (an option, a file, a frame, the camera) and WHY the reason, with a
// suggestion when the user's word is near a known one. Warnings are `z40k: warning: WHAT: WHY`. The exit
// statuses are fixed: 0 success, 1 a runtime or device failure, 2 a usage error, 130 a capture ended by a
// signal (interrupt.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace z40k {

constexpr int EXIT_RUNTIME_FAILURE = 1;
constexpr int EXIT_USAGE = 2;

// A failure that ends the command: printed as one line, and the program exits with Status. Message is
// "WHAT: WHY", without the program's name.
struct ProgramError {
    std::string Message;
    int Status;
};

// A bad option, value or combination of them (exit status 2).
ProgramError UsageError(const std::string& What, const std::string& Why);
// Something that went wrong while the command ran: a file, the device (exit status 1).
ProgramError RuntimeError(const std::string& What, const std::string& Why);
ProgramError RuntimeError(const std::string& Message);

// The one line, "z40k: " + Message and a newline; line breaks inside become "; ".
std::string MessageLine(const std::string& Message);
void PrintError(const std::string& Message);
void PrintError(const std::string& What, const std::string& Why);
void PrintWarning(const std::string& What, const std::string& Why);

// The candidate nearest to Word by edit distance (a swap of two neighbours counts as one edit), or one
// that Word begins, when it is near enough to be what was meant; empty when none is.
std::string Nearest(const std::string& Word, const std::vector<std::string>& Candidates);
// "; did you mean NEAREST?" or empty.
std::string Suggestion(const std::string& Word, const std::vector<std::string>& Candidates);

// "1 frame", "2 frames".
std::string Count(uint64_t N, const char* Singular, const char* Plural);
// "A..B".
std::string RangeText(long long Minimum, long long Maximum);
// "a, b, c or d".
std::string ListText(const std::vector<std::string>& Items, const char* Last = "or");

} // namespace z40k
