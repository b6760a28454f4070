// `z40k capture -o -`: the frame buffers go to standard output one after the other, for a video tool
// reading a pipe (ffmpeg -f rawvideo). Nothing else may reach standard output then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace z40k {

// Whether the output named on the command line is standard output.
bool IsStandardOutput(const std::string& Output);

class StandardOutputFrames {
  public:
    // A reader that goes away makes writes fail with EPIPE rather than end the program, so the capture
    // can stop the camera and save the settings.
    StandardOutputFrames();
    ~StandardOutputFrames();
    StandardOutputFrames(const StandardOutputFrames&) = delete;
    StandardOutputFrames& operator=(const StandardOutputFrames&) = delete;

    // Writes Length bytes whole. False when they could not be: *Error says why, or stays empty when the
    // reader closed the pipe (an ordinary end: `ffmpeg -frames:v 10` stops reading after ten).
    bool Write(const uint8_t* Frame, size_t Length, std::string* Error);

  private:
    void (*previousPipeHandler_)(int);
};

} // namespace z40k
