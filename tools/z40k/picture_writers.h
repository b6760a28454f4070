// Pictures written on threads of their own, so that reading the next frame does not wait for the last
// one's file: a PNG of a detailed picture takes longer than a frame time to deflate, and on a machine
// with more than one core several are deflated at once. Each write carries a token (whose buffer it
// reads) that comes back once the write is done, so that the buffer can be given to a read again.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace z40k {

class PictureWriters {
  public:
    // Returns the write's failure ("PATH: WHY"), or empty.
    using Job = std::function<std::string()>;

    explicit PictureWriters(unsigned Threads);
    ~PictureWriters(); // lets the writes already handed in finish
    PictureWriters(const PictureWriters&) = delete;
    PictureWriters& operator=(const PictureWriters&) = delete;

    void Write(size_t Token, Job Write);
    // The tokens of the writes finished since the last call, in the order they finished.
    std::vector<size_t> TakeFinished();
    // Waits until a write has finished that TakeFinished has not returned yet; false when none is
    // handed in or running.
    bool WaitForFinished();
    // Waits for every write handed in.
    void WaitForAll();
    // The first failure of any write so far, or empty.
    std::string Failure();

  private:
    void Work();

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::deque<std::pair<size_t, Job>> queued_;
    std::vector<size_t> finished_;
    size_t running_ = 0;
    bool stopping_ = false;
    std::string failure_;
    std::vector<std::thread> threads_;
};

} // namespace z40k
