// SPDX-License-Identifier: MIT
// The recscan command: every Record file and Series 3 sound found in files,
// folders and archives, converted to WAV files under one output folder.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <recwav/progress.hpp>

namespace recwav::scan {

inline constexpr std::uint64_t mebibyte = std::uint64_t{1} << 20;
// An hour of A-law is 29 MB: a Record file or a sound larger than this is
// more likely damage than a recording, and an archive inside an archive is
// held in memory whole.
inline constexpr std::uint64_t defaultMaxEntrySize = 256 * mebibyte;
// All that one archive may expand to, archives inside it included: far more
// than any card or backup of the devices holds, far less than a zip bomb.
inline constexpr std::uint64_t defaultMaxTotalSize = std::uint64_t{16} * 1024 * mebibyte;
// An archive found as a file is level 1, an archive inside it level 2.
inline constexpr unsigned defaultArchiveDepth = 4;
// The most conversions at a time, by default (one a core) or asked.
inline constexpr unsigned maxJobs = 64;

struct Settings {
    bool force = false;
    bool json = false;
    unsigned jobs = 0;  // 0: one per core
    std::uint64_t maxEntrySize = defaultMaxEntrySize;
    std::uint64_t maxTotalSize = defaultMaxTotalSize;
    unsigned archiveDepth = defaultArchiveDepth;
    bool carve = false;  // look inside files and images' free space for sounds no directory names
};

enum class Outcome { converted, refused, failed, done, skipped };
enum class Coding { none, aLaw, adpcm, series3 };

// One line of the report.
struct Result {
    Outcome outcome = Outcome::skipped;
    std::string source;   // as shown to the user
    std::string output;   // set when converted or done
    std::string message;  // the reason, the cause, or what the conversion made
    Coding coding = Coding::none;
    std::optional<std::uint64_t> declared;  // samples the header declares
    std::optional<std::uint64_t> decoded;   // samples written
    std::uint64_t bytes = 0;                // read, uncompressed, for the progress line
    bool deleted = false;                   // found through a deleted directory entry
};

std::string textLine(const Result& result);  // empty for a skipped file
std::string jsonLine(const Result& result);
// The summary, from the counts by outcome: "3 converted, 0 done before, ...".
std::string summaryLine(const std::array<std::uint64_t, 5>& counts);

// ---- Names ----

// An archive entry's name as folders and a file name that stay inside the
// output folder: separators '/' and '\', no root, drive letter, "." or "..".
// Empty when nothing is left.
std::vector<std::string> safeEntryPath(std::string_view name);

// The WAV's name for a source's name: a ".rec" extension (any case) replaced,
// otherwise ".wav" appended.
std::string wavName(std::string_view sourceName);

// Hands out output paths in the order asked, each once: a path already given
// (compared without regard to ASCII case, for case-blind file systems) gets
// "~2", "~3", ... before its extension.
class Namer {
public:
    std::string assign(const std::vector<std::string>& folders, const std::string& name);
    // The output folders for a source's folders: the same for every file in
    // them, and, like names, put apart from a file's WAV of the same name.
    std::vector<std::string> placeFolders(const std::vector<std::string>& folders);

private:
    std::unordered_set<std::string> taken_;
    std::unordered_map<std::string, std::string> placed_;  // a source folder's path: its output folder's name
};

// ---- Work ----

enum class Kind { record, series3 };

// A WAV's permission bits at most: never executable, never wider than its source's.
inline constexpr mode_t wavMode = 0666;

// One Record file or Series 3 sound to convert, with where it goes.
struct Job {
    std::uint64_t seq = 0;
    Kind kind = Kind::record;
    std::string source;                // as shown
    std::vector<std::string> folders;  // below the output folder
    std::string name;                  // the WAV's file name
    std::string wanted;                // the name it would have had, when another source took it
    int fd = -1;                       // a file on disk, owned by the job; or
    std::vector<std::uint8_t> bytes;   // an archive entry's contents
    timespec mtime{};
    mode_t mode = wavMode;        // the source's permission bits
    std::uint64_t diskBytes = 0;  // read, uncompressed, for the progress line
    bool deleted = false;         // a deleted file's contents, as an image still holds them
};

// The output folder, opened once; `shown` is its name as given.
struct OutputFolder {
    int fd = -1;
    std::string shown;
};

// Converts one job into its WAV, written under a temporary name and renamed
// when whole, dated like its source; closes the job's file.
Result convertJob(Job& job, const OutputFolder& output, bool force);

// Has any signal that ends the run remove the temporary files being written first.
void watchSignals();

// The workers for `asked` jobs (0: one a core) on `cores` cores, and the
// files let wait between the walk and the report: each such file holds a
// descriptor open, so together they stay within `descriptors`.
unsigned jobsFor(unsigned asked, unsigned cores, std::uint64_t descriptors);
std::uint64_t filesInFlight(unsigned jobs, std::uint64_t descriptors);

// Workers converting in parallel, and the report printed in the order the
// walk found the files, whichever worker finishes first. At most a bounded
// number of files, and of bytes, are between the walk and the report.
class Pipeline {
public:
    Pipeline(const Settings& settings, OutputFolder output);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // The next sequence number, once there is room for `bytes` more in memory.
    std::uint64_t reserve(std::uint64_t bytes = 0);
    void submit(Job job);
    void post(std::uint64_t seq, Result result);
    // A result of its own, for what the walk decides alone.
    void report(Result result) { post(reserve(), std::move(result)); }
    // The totals for the progress line: the walk read `bytes` from the disk.
    void walkFinished(std::uint64_t bytes);
    // Waits for every job; returns the counts by outcome.
    std::array<std::uint64_t, 5> finish();
    // After finish(): 0, or the errno of a line of the report that could not be written.
    int reportError() const { return reportError_; }

private:
    void work();
    void printReady();                 // with mutex_ held
    std::string progressText() const;  // with mutex_ held: files and bytes done, recordings found
    void lost();                       // with mutex_ held: a line of the report could not be written

    Settings settings_;
    OutputFolder output_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::condition_variable jobsReady_;
    std::deque<Job> jobs_;
    std::map<std::uint64_t, Result> finished_;
    std::map<std::uint64_t, std::uint64_t> heldBytes_;
    std::vector<std::thread> workers_;
    std::uint64_t window_ = 0;   // results at most between the walk and the report
    std::uint64_t next_ = 0;     // next sequence number to hand out
    std::uint64_t printed_ = 0;  // every result before this one is printed
    std::uint64_t held_ = 0;     // bytes of archive entries not yet converted
    std::array<std::uint64_t, 5> counts_{};
    std::uint64_t bytesDone_ = 0;
    std::uint64_t recordings_ = 0;                                   // found by the walk so far
    std::optional<std::pair<std::uint64_t, std::uint64_t>> totals_;  // files, bytes, once the walk is done
    bool stopping_ = false;
    bool reportOnTerminal_ = false;  // the report and the progress line share one terminal
    ProgressLine progress_;
    int reportError_ = 0;
};

// ---- The walk's decisions, each apart ----

// What an archive entry is, by its type bits (S_IFREG, S_IFDIR, ...; none
// at all, as deterministic ar archives write them, is a file) and whether
// it is a link.
enum class EntryType { file, folder, other };
EntryType entryType(mode_t type, bool link);

// What a file's first bytes (up to 64 KiB) make it; `archive` when
// libarchive knows their format, whole or damaged.
enum class Content { record, series3, document, archive, other };
Content contentOf(const std::uint8_t* head, std::size_t size);

// Where an archive entry's WAV goes: its folders below the output folder (the
// archive's, then the entry's own path made safe) and its source's name;
// nothing when no name is left.
struct Placement {
    std::vector<std::string> folders;
    std::string name;
};
std::optional<Placement> placeEntry(const std::vector<std::string>& archiveFolders, std::string_view entryName);

// Whether a file entry is read whole (to be converted, or opened as an
// archive), or passed over, skipped or failed, and why.
struct EntryVerdict {
    bool read = false;
    Outcome outcome = Outcome::skipped;
    std::string reason;
};
EntryVerdict judgeEntry(Content content, bool named, unsigned depth, std::optional<std::uint64_t> size,
                        const Settings& settings);

// The permission bits an entry's WAV may have: never wider than the
// archive's, nor than the entry's where it keeps any.
mode_t entryMode(mode_t archiveMode, mode_t entryPermissions);

// An existing WAV is this source's, converted before, when it is a file of
// the size the source converts to, dated as the file system keeps the
// source's date (`stored`, read back from a file so dated).
bool convertedBefore(const struct stat& existing, std::uint64_t size, const timespec& stored);

// Walks one SOURCE: a file, a folder or an archive, handing every Record
// file and Series 3 sound to the pipeline and reporting the rest. Adds the
// bytes it read from the disk to `bytes`.
void walkSource(const std::string& source, const Settings& settings, Pipeline& pipeline, Namer& namer,
                std::uint64_t& bytes);

// ---- What no folder lists: voice notes in documents, disk images, carving ----

// What the walks of folders, archives and images share: where each find goes.
struct Rescue {
    const Settings& settings;
    Pipeline& pipeline;
    Namer& namer;
};

// Reports a line of `outcome` for `shown`, with no conversion behind it.
void reportAlone(Rescue& rescue, Outcome outcome, const std::string& shown, std::string message);

// Names a job's WAV after `sourceName` and hands it to the pipeline.
void submitFound(Job job, const std::string& sourceName, Rescue& rescue);

// The voice notes inside a document's `bytes`, each a job of its own named
// Notes.wav, Notes~2.wav... in a folder named `name`; `like` gives the
// source shown, the folders and the date. With --carve, whole Record files
// inside it too, as for carve(). Reports a document without any.
void rescueNotes(const std::vector<std::uint8_t>& bytes, const Job& like, const std::string& name, Rescue& rescue);

// Reads `size` bytes at `at` into `into`; false when they cannot be read.
using ReadAt = std::function<bool(std::uint8_t* into, std::size_t size, std::uint64_t at)>;

// --carve: every Record file and embedded object in `size` bytes that
// `read` gives, in windows of bounded size, but those starting where
// `named` says a file the walk read lies. Each is reported PATH@OFFSET and
// written as `name`@OFFSET.wav beside where `like`'s folders put it.
void carve(const ReadAt& read, std::uint64_t size, const Job& like, const std::string& name, Rescue& rescue,
           const std::function<bool(std::uint64_t)>& named = nullptr);

// A SOURCE file that libtsk opens as a file system or a volume system of
// them, walked like a folder (deleted files too) below a folder named
// `name`. False when libtsk finds neither in it, or, when
// `fileSystemNeeded`, no file system that opens.
bool walkImage(const std::string& path, const Job& like, const std::string& name, Rescue& rescue,
               bool fileSystemNeeded = false);

// The whole command, from the argument vector to the exit status: 0 when
// every Record file found was converted, 1 when any was refused or failed,
// 2 on a usage error.
int runRecscan(int argc, char* argv[]);

}  // namespace recwav::scan
