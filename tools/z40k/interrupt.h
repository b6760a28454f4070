// Ctrl-C and SIGTERM while the camera runs: the first one asks the capture to end as a normal stop does
// (the stream stopped, the settings saved, the trace finished, no temporary file left), checked between
// frames; a second one ends the program at once.
#pragma once

namespace z40k {

// Exit status of a capture ended by a signal, as shells report a program killed by SIGINT.
constexpr int EXIT_INTERRUPTED = 130;

// Catches the two signals while it lives; the handlers in place before come back after.
class InterruptScope {
  public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// Whether a signal arrived since the innermost InterruptScope began.
bool Interrupted();

} // namespace z40k
