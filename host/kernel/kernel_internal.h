// Shared between the files of the kernel stand-in: the reset hooks each area provides to ResetKernel,
// the handle table that files and registry keys share, and small string helpers.
#pragma once

#include "platform/nt_types.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace host {
namespace detail {

void ResetClock();
void ResetLevels();
void ResetProcessorState();
void ResetFiles();
void ResetRegistry();
void ResetHandles();
void ResetDevicesAndIrps();
void ResetSystemRoutines();
void ResetProcessor();

// Lets Interval100ns (negative: relative, positive: absolute clock time) pass on the clock; returns the
// clock time at which the wait began.
int64_t PassTime(int64_t Interval100ns);

// A host bug or a driver fault the real kernel would answer with a bug check: say so and stop.
[[noreturn]] inline void BugCheck(const char* What) {
    std::fprintf(stderr, "kernel stand-in: %s\n", What);
    std::fflush(stderr);
    std::abort();
}

// ---- handles ----------------------------------------------------------------------------------------
enum class HandleKind { File, Key };

struct HandleEntry {
    HandleKind Kind;
    ACCESS_MASK Access;
    int Fd;              // File: the host descriptor
    std::string KeyPath; // Key: the full path of the key; File: the file's kernel name
};

// Inserts an entry and returns its handle (never NULL, never reused until ResetKernel).
HANDLE HandleInsert(const HandleEntry& Entry);
// Copies the entry of Handle; false when Handle is not open.
bool HandleLookup(HANDLE Handle, HandleEntry* Entry);
// Removes the entry; false when Handle is not open.
bool HandleRemove(HANDLE Handle, HandleEntry* Entry);
size_t HandleCount(HandleKind Kind);

// ---- strings ----------------------------------------------------------------------------------------
// UTF-16 of a UNICODE_STRING as UTF-8; false when the string is malformed (odd length, null buffer with a
// non-zero length, a lone surrogate).
bool Utf8FromUnicode(const UNICODE_STRING* Source, std::string* Out);
bool Utf8FromUtf16(const char16_t* Text, size_t Count, std::string* Out);
std::u16string Utf16FromUtf8(const std::string& Text);
// ASCII case folding, as the registry and the DOS device names compare.
std::string FoldCase(const std::string& Text);
// Splits a registry or file path at its backslashes; false when a component is empty (so also for an
// empty path or one that ends in a backslash).
bool SplitPath(const std::string& Path, std::vector<std::string>* Parts);

} // namespace detail
} // namespace host
