// SPDX-License-Identifier: MIT
// Conversions on every core, the report in the order the files were found.
#include <unistd.h>

#include <cstdio>

#include "recscan/recscan.hpp"

namespace recwav::scan {

namespace {

// Files between the walk and the report, per worker: enough to keep every
// worker busy while one slow file holds up the report.
constexpr std::uint64_t filesInFlightPerWorker = 8;
// Bytes of archive entries held in memory for the workers, beyond one entry.
constexpr std::uint64_t bytesInFlight = 64 * mebibyte;

}  // namespace

Pipeline::Pipeline(const Settings& settings, OutputFolder output)
    : settings_(settings), output_(std::move(output)), progress_(startProgress()) {
    reportOnTerminal_ = isatty(STDOUT_FILENO) != 0;
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
        ++recordings_;
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
            if (reportOnTerminal_) {
                clearProgress(progress_);  // the progress line gives way to the report
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
        updateProgress(progress_, progressText());
        room_.notify_all();
    }
}

std::string Pipeline::progressText() const {
    std::uint64_t files = 0;
    for (const std::uint64_t count : counts_) {
        files += count;
    }
    const auto plural = [](std::uint64_t count, const char* one, const char* many) {
        return std::to_string(count) + " " + (count == 1 ? one : many);
    };
    char megabytes[64];
    if (totals_) {
        std::snprintf(megabytes, sizeof megabytes, "%.1f of %.1f MB", static_cast<double>(bytesDone_) / 1e6,
                      static_cast<double>(totals_->second) / 1e6);
        return "recscan: " + std::to_string(files) + " of " + plural(totals_->first, "file", "files") + ", " +
               plural(recordings_, "recording", "recordings") + ", " + megabytes;
    }
    std::snprintf(megabytes, sizeof megabytes, "%.1f MB", static_cast<double>(bytesDone_) / 1e6);
    return "recscan: " + plural(files, "file", "files") + ", " + plural(recordings_, "recording", "recordings") +
           " found, " + megabytes;
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
    clearProgress(progress_);
    return counts_;
}

}  // namespace recwav::scan
