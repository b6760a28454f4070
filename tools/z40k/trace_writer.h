// The JSON Lines trace of `z40k capture --trace FILE`: one object per line, each starting with "t_us"
// (host clock time in microseconds since the trace began, virtual or real) and "event". Vendor requests
// and alternate settings come from the library's records of the camera in use; registry writes, SRB
// completions and frames are reported to the writer as they happen.
#pragma once

#include "host/rig/session.h"
#include "host/streamclass/client.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace z40k {

// {"event":"registry_set","key":"...","name":"Exposure Time","type":"REG_DWORD","value":750}; a REG_SZ
// value is a string, any other type the hex of its bytes.
std::string RegistrySetJson(const rig::RegistryWrite& Write);
// {"event":"frame","index":0,"bytes":14745600,"dropped":false}, with "still":true for a still.
std::string FrameJson(const rig::FrameRecord& Frame);

class TraceWriter {
  public:
    TraceWriter() = default;
    ~TraceWriter(); // abandons an uncommitted trace
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    // Starts the trace of Session in a temporary file beside Path, or on standard output for "-"; time 0
    // is now. False with *Error set.
    bool Open(const std::string& Path, const rig::Session& Session, std::string* Error);
    bool IsOpen() const { return file_ != nullptr; }

    // The camera whose library records (vendor requests, alternate settings) go into the trace: the
    // device context the stream class made for it. The record itself is looked up at every event, so it
    // may appear (initialise) and go (removal) while the trace runs.
    void FollowDevice(PVOID DeviceContext) { context_ = DeviceContext; }

    // Each writes the library's records made since the last event first, so lines keep their order. Any
    // thread may report: the SRB threads, the library's frame worker.
    void RegistrySet(const rig::RegistryWrite& Write);
    void SrbCompleted(const streamclass::SrbEvent& Event);
    void Frame(const rig::FrameRecord& Frame);
    void Flush();

    // Writes what is left, closes the file and renames it to Path. False with *Error set, naming the
    // system's reason (the temporary file is then removed).
    bool Commit(std::string* Error);
    // Closes and removes the temporary file.
    void Abandon();

  private:
    void Line(int64_t TimeUs, const std::string& Json);
    int Close(); // as fclose: 0, or EOF with errno set

    std::recursive_mutex mutex_;
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string target_; // the file written: path_, or what a symbolic link at path_ names
    std::string temp_;
    int error_ = 0; // the first write's failure, as errno
    bool toStandardOutput_ = false;
    bool inPlace_ = false; // a device or FIFO, written where it is
    int64_t startUs_ = 0;
    const rig::Session* session_ = nullptr;
    PVOID context_ = nullptr;
};

} // namespace z40k
