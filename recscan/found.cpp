// SPDX-License-Identifier: MIT
// Sounds that no file name gives: voice notes inside documents, and with
// --carve whatever Record file or object lies inside other bytes, all found
// by the core library's one search.
#include <algorithm>
#include <cstring>

#include <recwav/embedded.hpp>

#include "recscan/recscan.hpp"

namespace recwav::scan {

namespace {

// Carving reads this much at a time, and this much more that a sound
// starting in the window may run into: one that runs further is not found.
constexpr std::size_t carveWindow = 32 * mebibyte;
constexpr std::size_t carveReach = 32 * mebibyte;

// A find that no directory names: PATH@OFFSET, written as NAME@OFFSET.wav.
void submitCarved(const std::uint8_t* bytes, std::uint64_t base, const FoundRecording& found, const Job& like,
                  const std::string& name, Rescue& rescue) {
    Job job;
    job.kind = Kind::record;
    job.source = like.source + "@" + std::to_string(found.offset);
    job.folders = like.folders;
    job.mtime = like.mtime;
    job.bytes = recordFileOf(bytes, base, found);
    submitFound(std::move(job), name + "@" + std::to_string(found.offset), rescue);
}

}  // namespace

void reportAlone(Rescue& rescue, Outcome outcome, const std::string& shown, std::string message) {
    Result result;
    result.outcome = outcome;
    result.source = shown;
    result.message = std::move(message);
    rescue.pipeline.report(std::move(result));
}

void submitFound(Job job, const std::string& sourceName, Rescue& rescue) {
    job.seq = rescue.pipeline.reserve(job.bytes.size());
    const std::string wanted = wavName(sourceName);
    job.name = rescue.namer.assign(job.folders, wanted);
    if (job.name != wanted) {
        job.wanted = wanted;
    }
    rescue.pipeline.submit(std::move(job));
}

void rescueNotes(const std::vector<std::uint8_t>& bytes, const Job& like, const std::string& name, Rescue& rescue) {
    SearchOptions options;
    options.standalone = rescue.settings.carve;
    const std::vector<FoundRecording> found = findRecordings(bytes.data(), bytes.size(), 0, options);
    std::vector<std::string> folders = like.folders;
    folders.push_back(name);
    for (const FoundRecording& one : found) {
        if (one.standalone) {
            submitCarved(bytes.data(), 0, one, like, name, rescue);
            continue;
        }
        Job job;
        job.kind = Kind::record;
        job.source = like.source + "@" + std::to_string(one.offset);
        job.folders = folders;
        job.mtime = like.mtime;
        job.deleted = like.deleted;
        job.bytes = recordFileOf(bytes.data(), 0, one);
        submitFound(std::move(job), "Notes", rescue);
    }
    if (found.empty()) {
        reportAlone(rescue, Outcome::skipped, like.source, "a document without voice notes");
    }
}

void carve(const ReadAt& read, std::uint64_t size, const Job& like, const std::string& name, Rescue& rescue,
           const std::function<bool(std::uint64_t)>& named) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, carveWindow + carveReach)));
    std::size_t held = 0;  // bytes of the next window already in the buffer
    SearchOptions options;
    options.standalone = true;
    options.startsBefore = carveWindow;
    for (std::uint64_t at = 0; at < size; at += carveWindow) {
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, buffer.size()));
        if (held < length && !read(buffer.data() + held, length - held, at + held)) {
            reportAlone(rescue, Outcome::failed, like.source,
                        "could not read past offset " + std::to_string(at + held) + " to carve");
            return;
        }
        for (const FoundRecording& found : findRecordings(buffer.data(), length, at, options)) {
            if (!named || !named(found.offset)) {
                submitCarved(buffer.data(), at, found, like, name, rescue);
            }
        }
        held = length > carveWindow ? length - carveWindow : 0;
        if (held > 0) {
            std::memmove(buffer.data(), buffer.data() + carveWindow, held);
        }
    }
}

}  // namespace recwav::scan
