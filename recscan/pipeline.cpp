// SPDX-License-Identifier: MIT
// Conversions on every core, the report in the order the files were found.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "recscan/recscan.hpp"

namespace recwav::scan {

namespace {

// Files between the walk and the report, per worker: enough to keep every
// worker busy while one slow file holds up the report.
constexpr std::uint64_t filesInFlightPerWorker = 8;
// Bytes of archive entries held in memory for the workers, beyond one entry.
constexpr std::uint64_t bytesInFlight = 64 * mebibyte;
// Descriptors a run keeps for itself (standard streams, the output folder,
// the walk's file and folder, the libraries'), and each worker for its own
// (its output folder, two while it makes one, the file it writes).
constexpr std::uint64_t descriptorsKept = 32;
constexpr std::uint64_t descriptorsPerWorker = 4;

// As many descriptors as the process may have: the soft limit raised to the hard one.
std::uint64_t descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? std::uint64_t{1} << 20 : static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace

unsigned jobsFor(unsigned asked, unsigned cores, std::uint64_t descriptors) {
    const std::uint64_t free = descriptors - std::min(descriptors, descriptorsKept);
    // Each worker with a file waiting for it at least.
    const std::uint64_t fit = std::max<std::uint64_t>(free / (descriptorsPerWorker + 1), 1);
    const unsigned wanted = asked != 0 ? asked : std::clamp(cores, 1U, maxJobs);
    return static_cast<unsigned>(std::min<std::uint64_t>(wanted, fit));
}

std::uint64_t filesInFlight(unsigned jobs, std::uint64_t descriptors) {
    const std::uint64_t free = descriptors - std::min(descriptors, descriptorsKept + descriptorsPerWorker * jobs);
    return std::clamp<std::uint64_t>(free, 1, filesInFlightPerWorker * jobs);
}

Pipeline::Pipeline(const Settings& settings, OutputFolder output)
    : settings_(settings), output_(std::move(output)), progress_(startProgress()) {
    reportOnTerminal_ = isatty(STDOUT_FILENO) != 0;
    const std::uint64_t descriptors = descriptorLimit();
    const unsigned count = jobsFor(settings_.jobs, std::thread::hardware_concurrency(), descriptors);
    settings_.jobs = count;
    window_ = filesInFlight(count, descriptors);
    for (unsigned i = 0; i < count; ++i) {
        workers_.emplace_back([this] { work(); });
    }
}

Pipeline::~Pipeline() {
    finish();
}

std::uint64_t Pipeline::reserve(std::uint64_t bytes) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return next_ - printed_ < window_ && (held_ == 0 || held_ + bytes <= bytesInFlight); });
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
            if (std::printf("%s\n", line.c_str()) < 0) {
                lost();
            }
        }
        ++counts_[static_cast<int>(result.outcome)];
        bytesDone_ += result.bytes;
        finished_.erase(ready);
        ++printed_;
        printed = true;
    }
    if (printed) {
        if (std::fflush(stdout) != 0) {
            lost();
        }
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

void Pipeline::lost() {
    if (reportError_ == 0) {
        reportError_ = errno != 0 ? errno : EIO;
    }
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
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        lost();
    }
    clearProgress(progress_);
    return counts_;
}

}  // namespace recwav::scan
