#include "tools/z40k/frame_stream.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace z40k {

bool IsStandardOutput(const std::string& Output) {
    return Output == "-";
}

StandardOutputFrames::StandardOutputFrames() : previousPipeHandler_(std::signal(SIGPIPE, SIG_IGN)) {}

StandardOutputFrames::~StandardOutputFrames() {
    std::signal(SIGPIPE, previousPipeHandler_ == SIG_ERR ? SIG_DFL : previousPipeHandler_);
}

bool StandardOutputFrames::Write(const uint8_t* Frame, size_t Length, std::string* Error) {
    Error->clear();
    // Straight to the descriptor: a 14.7 MB frame gains nothing from stdio's buffer.
    while (Length > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, Frame, Length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EPIPE)
                *Error = std::string("cannot write to standard output: ") + std::strerror(errno);
            return false;
        }
        Frame += written;
        Length -= size_t(written);
    }
    return true;
}

} // namespace z40k
