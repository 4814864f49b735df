// SPDX-License-Identifier: MIT
// Conversions on every core, the report in the order the files were found.
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "recscan/recscan.hpp"

namespace recwav::scan {

namespace {

// Files between the walk and the report, per worker: enough to keep every
// worker busy while one slow file holds up the report.
constexpr std::uint64_t filesInFlightPerWorker = 8;
// Bytes of archive entries held in memory for the workers, beyond one entry.
constexpr std::uint64_t bytesInFlight = 64 * mebibyte;

std::int64_t nowMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Pipeline::Pipeline(const Settings& settings, OutputFolder output)
    : settings_(settings), output_(std::move(output)), terminal_(isatty(STDERR_FILENO) != 0) {
    const unsigned cores = std::thread::hardware_concurrency();
    const unsigned count = settings_.jobs != 0 ? settings_.jobs : cores != 0 ? cores : 1;
    settings_.jobs = count;
    for (unsigned i = 0; i < count; ++i) {
        workers_.emplace_back([this] { work(); });
    }
}

Pipeline::~Pipeline() {
    finish();
}

std::uint64_t Pipeline::reserve(std::uint64_t bytes) {
    std::unique_lock lock(mutex_);
    const std::uint64_t window = filesInFlightPerWorker * settings_.jobs;
    room_.wait(lock, [&] { return next_ - printed_ < window && (held_ == 0 || held_ + bytes <= bytesInFlight); });
    held_ += bytes;
    if (bytes != 0) {
        heldBytes_[next_] = bytes;
    }
    return next_++;
}

void Pipeline::submit(Job job) {
    {
        const std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    jobsReady_.notify_one();
}

void Pipeline::post(std::uint64_t seq, Result result) {
    const std::lock_guard lock(mutex_);
    if (const auto held = heldBytes_.find(seq); held != heldBytes_.end()) {
        held_ -= held->second;
        heldBytes_.erase(held);
    }
    finished_.emplace(seq, std::move(result));
    printReady();
}

void Pipeline::printReady() {
    bool printed = false;
    for (auto ready = finished_.find(printed_); ready != finished_.end(); ready = finished_.find(printed_)) {
        const Result& result = ready->second;
        const std::string line = settings_.json ? jsonLine(result) : textLine(result);
        if (!line.empty()) {
            if (progressShown_ && isatty(STDOUT_FILENO) != 0) {
                std::fputs("\r\033[K", stderr);  // the progress line gives way to the report
                progressShown_ = false;
            }
            std::printf("%s\n", line.c_str());
        }
        ++counts_[static_cast<int>(result.outcome)];
        bytesDone_ += result.bytes;
        finished_.erase(ready);
        ++printed_;
        printed = true;
    }
    if (printed) {
        std::fflush(stdout);
        progress(false);
        room_.notify_all();
    }
}

void Pipeline::progress(bool last) {
    if (!terminal_) {
        return;
    }
    const std::int64_t now = nowMilliseconds();
    if (!last && now - lastProgress_ < 200) {
        return;
    }
    std::uint64_t files = 0;
    for (const std::uint64_t count : counts_) {
        files += count;
    }
    char line[160];
    const double done = static_cast<double>(bytesDone_) / 1e6;
    if (totals_) {
        std::snprintf(line, sizeof line, "%llu of %llu files, %.1f of %.1f MB", static_cast<unsigned long long>(files),
                      static_cast<unsigned long long>(totals_->first), done,
                      static_cast<double>(totals_->second) / 1e6);
    } else {
        std::snprintf(line, sizeof line, "%llu files, %.1f MB", static_cast<unsigned long long>(files), done);
    }
    std::fprintf(stderr, "\r\033[Krecscan: %s", line);
    if (last) {
        std::fputs("\r\033[K", stderr);
    }
    progressShown_ = !last;
    lastProgress_ = now;
}

void Pipeline::walkFinished(std::uint64_t bytes) {
    const std::lock_guard lock(mutex_);
    totals_.emplace(next_, bytes);  // every file found has its number by now
}

void Pipeline::work() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            jobsReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        const std::uint64_t seq = job.seq;
        post(seq, convertJob(job, output_, settings_.force));
    }
}

std::array<std::uint64_t, 5> Pipeline::finish() {
    if (workers_.empty()) {
        return counts_;
    }
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    jobsReady_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
    workers_.clear();
    const std::lock_guard lock(mutex_);
    progress(true);
    return counts_;
}

}  // namespace recwav::scan
