#pragma once
// Writes log lines on a thread of its own, so the event thread never waits
// for the disk. Each line is still appended with its own open, write and
// close, in the order it was given; Flush() waits until all are written.
//
// By default the writer starts on each line. A writer made with
// Start::WhenAsked waits for WakeUp() instead: the event loop calls it when
// it has nothing left to do, so the disk work of an alarm's log lines starts
// after the alarm is on its way rather than competing with it. Such a writer
// also rests for kRest after each batch, so that during a burst of alarms
// their lines reach the disk together, at most that much later.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kelvarix {

class BackgroundWriter {
public:
    // Lines waiting beyond this (in number, or in memory with the batch being
    // written) make the caller wait: a disk that cannot keep up slows the
    // gateway down rather than filling its memory. 1 MiB holds the lines of
    // several hundred alarms, far more than a batch gathers in kRest.
    static constexpr std::size_t kMaxWaiting = 100'000;
    static constexpr std::size_t kMaxWaitingBytes = 1024 * 1024;
    static constexpr std::chrono::milliseconds kRest{5};

    enum class Start { OnEachLine, WhenAsked };

    explicit BackgroundWriter(Start start = Start::OnEachLine);
    ~BackgroundWriter();  // writes what is waiting, then stops
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    // Appends text to the file at path (open, write, close).
    void AppendToFile(std::string path, std::string text);
    // Writes text to the stream and flushes it.
    void WriteToStream(std::FILE* stream, std::string text);
    // Returns once every line given so far is written.
    void Flush();
    // Lets the writer start on the lines waiting (cheap when there are none).
    void WakeUp();
    // Lines that could not be appended to their file, since the start.
    std::uint64_t FileFailures() const { return file_failures_; }

private:
    struct Job {
        std::string path;  // empty: a stream job
        std::FILE* stream = nullptr;
        std::string text;
    };
    // What a waiting job costs in memory, as counted against kMaxWaitingBytes.
    static std::size_t Weight(const Job& job);
    void Push(Job job);
    void Run();
    // Writes a batch in order; returns the weight of its jobs.
    std::size_t Write(const std::deque<Job>& batch);

    const Start start_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::deque<Job> jobs_;
    std::size_t waiting_bytes_ = 0;
    bool busy_ = false;
    bool sleeping_ = false;   // the writer waits for work
    int waiters_ = 0;         // callers waiting in Flush() or for room
    bool stopping_ = false;
    std::atomic<std::uint64_t> file_failures_{0};  // counted by the writer thread
    std::thread thread_;
};

}  // namespace kelvarix
