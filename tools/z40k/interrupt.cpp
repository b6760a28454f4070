#include "tools/z40k/interrupt.h"

#include <csignal>

namespace z40k {
namespace {

volatile std::sig_atomic_t interrupted = 0;
struct sigaction previousInt;
struct sigaction previousTerm;

void OnSignal(int) {
    interrupted = 1;
}

} // namespace

InterruptScope::InterruptScope() {
    interrupted = 0;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART; // a second signal takes the default way out
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
}

InterruptScope::~InterruptScope() {
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
}

bool Interrupted() {
    return interrupted != 0;
}

} // namespace z40k
