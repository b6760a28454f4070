#include "tools/z40k/picture_writers.h"

namespace z40k {

PictureWriters::PictureWriters(unsigned Threads) {
    for (unsigned i = 0; i < Threads; ++i)
        threads_.emplace_back(&PictureWriters::Work, this);
}

PictureWriters::~PictureWriters() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

void PictureWriters::Write(size_t Token, Job Write) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_.emplace_back(Token, std::move(Write));
    }
    work_.notify_one();
}

std::vector<size_t> PictureWriters::TakeFinished() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<size_t> finished;
    finished.swap(finished_);
    return finished;
}

bool PictureWriters::WaitForFinished() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return !finished_.empty() || (queued_.empty() && running_ == 0); });
    return !finished_.empty();
}

void PictureWriters::WaitForAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return queued_.empty() && running_ == 0; });
}

std::string PictureWriters::Failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void PictureWriters::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // The writes handed in are finished before the threads end, so that no picture is cut short.
        work_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
        if (queued_.empty())
            return;
        std::pair<size_t, Job> next = std::move(queued_.front());
        queued_.pop_front();
        ++running_;
        lock.unlock();
        const std::string failure = next.second();
        lock.lock();
        --running_;
        if (failure_.empty())
            failure_ = failure;
        finished_.push_back(next.first);
        done_.notify_all();
    }
}

} // namespace z40k
