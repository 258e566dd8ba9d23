#include "platform/background_writer.h"

#include "platform/files.h"

namespace kelvarix {

BackgroundWriter::BackgroundWriter() : thread_([this] { Run(); }) {}

BackgroundWriter::~BackgroundWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void BackgroundWriter::AppendToFile(std::string path, std::string text) {
    Push({std::move(path), nullptr, std::move(text)});
}

void BackgroundWriter::WriteToStream(std::FILE* stream, std::string text) {
    Push({std::string(), stream, std::move(text)});
}

void BackgroundWriter::Push(Job job) {
    std::unique_lock lock(mutex_);
    ++waiters_;
    done_.wait(lock, [this] {
        return jobs_.size() < kMaxWaiting && waiting_bytes_ < kMaxWaitingBytes;
    });
    --waiters_;
    waiting_bytes_ += job.text.size();
    jobs_.push_back(std::move(job));
    const bool wake = sleeping_;  // a busy writer finds the job without a wake-up call
    lock.unlock();
    if (wake) work_.notify_one();
}

void BackgroundWriter::Flush() {
    std::unique_lock lock(mutex_);
    ++waiters_;
    done_.wait(lock, [this] { return jobs_.empty() && !busy_; });
    --waiters_;
}

void BackgroundWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        sleeping_ = true;
        work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        sleeping_ = false;
        if (jobs_.empty()) return;  // stopping, and everything is written
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        waiting_bytes_ -= job.text.size();
        busy_ = true;
        lock.unlock();
        if (job.stream == nullptr) {
            kelvarix::AppendToFile(job.path, job.text);
        } else {
            std::fwrite(job.text.data(), 1, job.text.size(), job.stream);
            std::fflush(job.stream);
        }
        lock.lock();
        busy_ = false;
        if (waiters_ > 0) done_.notify_all();
    }
}

}  // namespace kelvarix
