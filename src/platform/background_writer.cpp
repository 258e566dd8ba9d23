#include "platform/background_writer.h"

#include "platform/files.h"

namespace kelvarix {

BackgroundWriter::BackgroundWriter(Start start) : start_(start), thread_([this] { Run(); }) {}

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
    const auto room = [this] {
        return jobs_.size() < kMaxWaiting && waiting_bytes_ < kMaxWaitingBytes;
    };
    if (!room()) {
        ++waiters_;
        work_.notify_one();  // a full backlog is written whoever asked for it
        done_.wait(lock, room);
        --waiters_;
    }
    waiting_bytes_ += Weight(job);
    jobs_.push_back(std::move(job));
    // A busy writer finds the job without a wake-up call.
    const bool wake = sleeping_ && start_ == Start::OnEachLine;
    lock.unlock();
    if (wake) work_.notify_one();
}

void BackgroundWriter::WakeUp() {
    std::unique_lock lock(mutex_);
    const bool wake = sleeping_ && !jobs_.empty();
    lock.unlock();
    if (wake) work_.notify_one();
}

void BackgroundWriter::Flush() {
    std::unique_lock lock(mutex_);
    if (!jobs_.empty()) work_.notify_one();
    ++waiters_;
    done_.wait(lock, [this] { return jobs_.empty() && !busy_; });
    --waiters_;
}

std::size_t BackgroundWriter::Weight(const Job& job) {
    return sizeof(Job) + job.path.size() + job.text.size();
}

void BackgroundWriter::Run() {
    std::unique_lock lock(mutex_);
    std::deque<Job> batch;
    for (;;) {
        sleeping_ = true;
        work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        sleeping_ = false;
        if (jobs_.empty()) return;  // stopping, and everything is written
        batch.swap(jobs_);
        busy_ = true;
        lock.unlock();
        const std::size_t written = Write(batch);
        batch.clear();
        lock.lock();
        waiting_bytes_ -= written;
        busy_ = false;
        if (waiters_ > 0) done_.notify_all();
        if (start_ == Start::WhenAsked) {
            // A moment's rest gathers the lines of a burst of alarms into one
            // batch instead of a wake-up for each; a caller that waits for the
            // writer ends the rest.
            work_.wait_for(lock, kRest, [this] { return stopping_ || waiters_ > 0; });
        }
    }
}

std::size_t BackgroundWriter::Write(const std::deque<Job>& batch) {
    // Each file line gets its own open, write and close; the lines for a
    // stream are gathered into one write, flushed when the batch is done.
    std::size_t weight = 0;
    std::FILE* stream = nullptr;
    std::string gathered;
    const auto write_gathered = [&] {
        if (stream == nullptr) return;
        std::fwrite(gathered.data(), 1, gathered.size(), stream);
        std::fflush(stream);
        gathered.clear();
    };
    for (const Job& job : batch) {
        weight += Weight(job);
        if (job.stream == nullptr) {
            if (!kelvarix::AppendToFile(job.path, job.text)) ++file_failures_;
            continue;
        }
        if (job.stream != stream) {
            write_gathered();
            stream = job.stream;
        }
        gathered += job.text;
    }
    write_gathered();
    return weight;
}

}  // namespace kelvarix
