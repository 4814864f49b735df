// SPDX-License-Identifier: MIT
// recscan: a whole rescue checked against recwav's own output, hostile and
// broken archives, outputs that exist already, and the names it gives.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/endian.hpp>

#include <recwav/wav.hpp>
#include "recscan/recscan.hpp"
#include "test_files.hpp"

namespace fs = std::filesystem;
using fixture::Bytes;

namespace {

struct Entry {
    std::string name;
    Bytes bytes;
    time_t mtime = 1000000000;
    const char* linkTo = nullptr;  // a symbolic link entry
};

// An archive written by libarchive: "zip", or "tar" with "gzip" or "none".
void writeArchive(const fs::path& path, const char* format, const char* filter, const std::vector<Entry>& entries) {
    archive* writer = archive_write_new();
    archive_write_set_format_by_name(writer, format);
    if (std::strcmp(filter, "none") != 0) {
        archive_write_add_filter_by_name(writer, filter);
    }
    ASSERT_EQ(archive_write_open_filename(writer, path.c_str()), ARCHIVE_OK) << archive_error_string(writer);
    for (const Entry& file : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, file.name.c_str());
        archive_entry_set_mtime(entry, file.mtime, 0);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_filetype(entry, file.linkTo != nullptr ? AE_IFLNK : AE_IFREG);
        if (file.linkTo != nullptr) {
            archive_entry_set_symlink(entry, file.linkTo);
        }
        archive_entry_set_size(entry, static_cast<la_int64_t>(file.bytes.size()));
        archive_write_header(writer, entry);
        archive_write_data(writer, file.bytes.data(), file.bytes.size());
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
}

Bytes archiveBytes(const char* format, const char* filter, const std::vector<Entry>& entries) {
    const TempDir dir;
    writeArchive(dir / "a", format, filter, entries);
    return readFile(dir / "a");
}

Bytes example(const char* coding) {
    return readFile(fs::path(EXAMPLES_DIR) / (std::string("tune-") + coding + ".rec"));
}

// What recwav itself writes for these bytes.
Bytes recwavOutput(const Bytes& record) {
    const TempDir dir;
    writeFile(dir / "in", record);
    EXPECT_EQ(runCommand(dir, RECWAV_EXE, {RECWAV_EXE, "in", "out.wav"}).status, 0);
    return readFile(dir / "out.wav");
}

ProgramRun recscan(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), RECSCAN_EXE);
    return runCommand(dir, RECSCAN_EXE, args);
}

// Every file below `root`, as relative paths.
std::vector<std::string> filesBelow(const fs::path& root) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory() || entry.is_symlink()) {
            files.push_back(entry.path().lexically_relative(root).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

time_t mtimeOf(const fs::path& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1;
}

TEST(Recscan, RescuesATreeOfFoldersAndArchivesAsRecwavWould) {
    const TempDir dir;
    const Bytes adpcm = example("adpcm");
    const Bytes alaw = example("alaw");
    const Bytes cutShort(alaw.begin(), alaw.begin() + 5000);
    Bytes refused = alaw;
    recwav::storeLe32(refused.data() + 16, 0x7FFFFFF0);  // the stream table's position, far past the end
    Bytes codes(256);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        codes[i] = static_cast<std::uint8_t>(i);
    }
    const Bytes wve = fixture::series3Sound(codes, 0, 1);
    const Bytes zip = archiveBytes("zip", "none", {{"Memo", adpcm}, {"Docs/Tune.rec", alaw}, {"Letter", {'h', 'i'}}});
    fs::create_directories(dir / "card/Documents");
    writeFile(dir / "card/Documents/Memo", adpcm);
    writeFile(dir / "card/Documents/Tune.REC", alaw);
    writeFile(dir / "card/Documents/Letter.txt", {'D', 'e', 'a', 'r'});
    writeFile(dir / "card/broken", refused);
    writeFile(dir / "card/short.rec", cutShort);
    writeFile(dir / "card/ring", wve);
    writeFile(dir / "card/backup.zip", zip);
    writeArchive(dir / "home.tar.gz", "paxr", "gzip",
                 {{"psion/Memo.rec", adpcm, 1100000000}, {"psion/old.zip", zip, 1200000000}});

    const ProgramRun run = recscan(dir, {"card", "home.tar.gz", "out"});
    EXPECT_EQ(run.status, 1) << run.err;  // the refused file
    EXPECT_EQ(run.out,
              "converted card/Documents/Memo -> out/Documents/Memo.wav (ADPCM, 3.20 s)\n"
              "converted card/Documents/Tune.REC -> out/Documents/Tune.wav (A-law, 3.20 s)\n"
              "converted card/backup.zip!/Memo -> out/backup.zip/Memo.wav (ADPCM, 3.20 s)\n"
              "converted card/backup.zip!/Docs/Tune.rec -> out/backup.zip/Docs/Tune.wav (A-law, 3.20 s)\n"
              "refused card/broken: input file is not correct format\n"
              "converted card/ring -> out/ring.wav (Series 3 A-law, 0.03 s)\n"
              "converted card/short.rec -> out/short.wav (A-law, 0.62 s, cut short: 4939 of 25600 declared samples)\n"
              "converted home.tar.gz!/psion/Memo.rec -> out/home.tar.gz/psion/Memo.wav (ADPCM, 3.20 s)\n"
              "converted home.tar.gz!/psion/old.zip!/Memo -> out/home.tar.gz/psion/old.zip/Memo.wav (ADPCM, 3.20 s)\n"
              "converted home.tar.gz!/psion/old.zip!/Docs/Tune.rec -> out/home.tar.gz/psion/old.zip/Docs/Tune.wav "
              "(A-law, 3.20 s)\n");
    EXPECT_NE(run.err.find("9 converted, 0 done before, 1 refused, 0 failed"), std::string::npos) << run.err;

    const struct {
        const char* output;
        const Bytes& source;
        time_t mtime;
    } expected[] = {
        {"Documents/Memo.wav", adpcm, mtimeOf(dir / "card/Documents/Memo")},
        {"Documents/Tune.wav", alaw, mtimeOf(dir / "card/Documents/Tune.REC")},
        {"backup.zip/Memo.wav", adpcm, 1000000000},
        {"backup.zip/Docs/Tune.wav", alaw, 1000000000},
        {"short.wav", cutShort, mtimeOf(dir / "card/short.rec")},
        {"ring.wav", wve, mtimeOf(dir / "card/ring")},
        {"home.tar.gz/psion/Memo.wav", adpcm, 1100000000},
        {"home.tar.gz/psion/old.zip/Memo.wav", adpcm, 1000000000},
        {"home.tar.gz/psion/old.zip/Docs/Tune.wav", alaw, 1000000000},
    };

    std::vector<std::string> made;
    for (const auto& file : expected) {
        SCOPED_TRACE(file.output);
        made.emplace_back(file.output);
        if (&file.source != &wve) {
            EXPECT_EQ(readFile(dir / "out" / file.output), recwavOutput(file.source));
        }
        EXPECT_EQ(mtimeOf(dir / "out" / file.output), file.mtime);
    }
    std::sort(made.begin(), made.end());
    EXPECT_EQ(filesBelow(dir / "out"), made) << "nothing else, and no temporary file";

    // libsndfile decodes Series 3 A-law as G.711 does, the mirror image of the Record files' table.
    const Bytes ring = readFile(dir / "out/ring.wav");
    ASSERT_EQ(ring.size(), recwav::wavHeaderSize + 2 * codes.size());
    SF_INFO info{};
    SNDFILE* sound = sf_open((dir / "out/ring.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(sound, nullptr);
    sf_close(sound);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.samplerate * 10 + info.channels, 80001);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(codes.size()));
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const auto sample = static_cast<std::int16_t>(recwav::loadLe16(ring.data() + recwav::wavHeaderSize + 2 * i));
        ASSERT_EQ(sample, -recwav::aLawTable[i]) << "code " << i;
    }

    // Run again: everything is done, nothing rewritten; in JSON, every file found.
    const ProgramRun again = recscan(dir, {"--json", "card", "home.tar.gz", "out"});
    EXPECT_EQ(again.status, 1);
    const auto count = [&again](const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = again.out.find(text); at != std::string::npos; at = again.out.find(text, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("\n"), 16U) << again.out;  // 9 done, 1 refused, 2 other files, 4 archives
    EXPECT_EQ(count("\"outcome\":\"done\""), 9U);
    EXPECT_EQ(count("\"outcome\":\"converted\""), 0U);
    EXPECT_NE(again.out.find("{\"source\":\"card/short.rec\",\"output\":\"out/short.wav\",\"outcome\":\"done\","
                             "\"message\":\"already converted\",\"coding\":\"alaw\",\"declared\":25600,"
                             "\"decoded\":4939}"),
              std::string::npos)
        << again.out;
    EXPECT_EQ(filesBelow(dir / "out"), made);

    // The progress line's bytes: each file's as it is on the disk, but an
    // archive's as its files expand (a zip inside an archive counted as
    // read from it, and its own files again).
    std::uint64_t onDisk = 0;
    for (const char* file :
         {"Documents/Memo", "Documents/Tune.REC", "Documents/Letter.txt", "broken", "short.rec", "ring"}) {
        onDisk += fs::file_size(dir / "card" / file);
    }
    const std::uint64_t zipped = adpcm.size() + alaw.size() + 2;
    const recwav::scan::Settings settings;
    std::uint64_t bytes = 0;
    const int folder = open((dir / "out").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::fflush(stdout);
    const int report = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);  // the report, which the runs above have checked
    {
        recwav::scan::Pipeline pipeline(settings, {folder, "out"});
        recwav::scan::Namer namer;
        for (const char* source : {"card", "home.tar.gz"}) {
            walkSource((dir / source).string(), settings, pipeline, namer, bytes);
        }
        pipeline.finish();
    }
    std::fflush(stdout);
    dup2(report, STDOUT_FILENO);
    close(report);
    close(null);
    close(folder);
    EXPECT_EQ(bytes, onDisk + zipped + adpcm.size() + zip.size() + zipped);
}

}  // namespace

namespace {

TEST(Recscan, KeepsHostileAndBrokenArchivesInBounds) {
    const Bytes alaw = example("alaw");
    const Bytes zeros(300000, 0);
    const Bytes tarred = archiveBytes("paxr", "gzip", {{"in.rec", alaw}});
    const struct {
        const char* name;
        std::vector<Entry> entries;
        std::vector<std::string> options;
        std::vector<std::string> made;  // below out/evil
        std::string report;             // a line of it
        bool damaged = false;           // the archive cut in half
        bool linkedOutput = false;      // out/evil a link to a folder outside
    } cases[] = {
        {"names that climb, are absolute or name a drive",
         {{"../../up.rec", alaw}, {"/abs/x.rec", alaw}, {"C:\\win\\y.rec", alaw}, {"a/./../b.rec", alaw}},
         {},
         {"a/b.wav", "abs/x.wav", "up.wav", "win/y.wav"},
         "converted evil!/../../up.rec -> out/evil/up.wav (A-law, 3.20 s)\n"},
        {"a link entry, then a file through it",
         {{"dir", {}, 1000000000, "../../outside"}, {"dir/x.rec", alaw}},
         {},
         {"dir/x.wav"},
         "converted evil!/dir/x.rec -> out/evil/dir/x.wav (A-law, 3.20 s)\n"},
        {"a link in the output folder",
         {{"x.rec", alaw}},
         {},
         {},
         "failed evil!/x.rec: could not make the output folder: Not a directory\n",
         false,
         true},
        {"an entry over the size limit",
         {{"big.rec", alaw}, {"small.rec", Bytes(alaw.begin(), alaw.begin() + 900)}},
         {"--max-entry-size", "1K"},
         {"small.wav"},
         "failed evil!/big.rec: larger than 1024 bytes (--max-entry-size)\n"},
        {"a bomb: more than the total limit",
         {{"1", zeros}, {"2", zeros}, {"3", zeros}, {"4", zeros}, {"after.rec", alaw}},
         {"--max-total-size", "1M"},
         {},
         "failed evil: stopped: its files expand past 1048576 bytes (--max-total-size)\n"},
        {"an archive inside an archive, deeper than asked",
         {{"inner.tar.gz", tarred}},
         {"--archive-depth", "1"},
         {},
         "failed evil!/inner.tar.gz: an archive inside 1 archives (--archive-depth opens deeper ones)\n"},
        {"a damaged archive", {{"x.rec", alaw}, {"y.rec", alaw}}, {}, {}, "failed evil: damaged archive", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        fs::create_directories(dir / "outside");
        writeArchive(dir / "evil", "paxr", "gzip", c.entries);
        if (c.damaged) {
            fs::resize_file(dir / "evil", fs::file_size(dir / "evil") / 2);
        }
        if (c.linkedOutput) {
            fs::create_directories(dir / "out");
            fs::create_directory_symlink("../outside", dir / "out/evil");
        }
        writeFile(dir / "good.rec", alaw);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"evil", "good.rec", "out"});
        const ProgramRun run = recscan(dir, args);
        EXPECT_EQ(run.status, c.report.rfind("failed", 0) == 0 ? 1 : 0);
        EXPECT_NE(run.out.find(c.report), std::string::npos) << run.out;
        // The rest goes on, and nothing is written but below out/evil and the one good WAV.
        std::vector<std::string> expected = {"evil", "good.rec", "out/good.wav"};
        for (const std::string& made : c.made) {
            expected.push_back("out/evil/" + made);
        }
        if (c.linkedOutput) {
            expected.emplace_back("out/evil");
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(filesBelow(dir.path()), expected);
    }
}

// Entries whose archive keeps no file type, as deterministic ar archives do.
TEST(Recscan, TakesEntriesWithNoFileTypeForFiles) {
    const TempDir dir;
    fs::create_directories(dir / "in");
    writeFile(dir / "in/Memo.rec", example("adpcm"));
    if (runCommand(dir, "ar", {"ar", "rcD", "in/lib.a", "in/Memo.rec"}).status != 0) {
        GTEST_SKIP() << "no ar here";
    }
    fs::remove(dir / "in/Memo.rec");
    const ProgramRun run = recscan(dir, {"in", "out"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir / "out/lib.a/Memo.wav"), recwavOutput(example("adpcm"))) << run.out;
}

TEST(Recscan, NamesApartAndNeverOverwritesUnasked) {
    const TempDir dir;
    const Bytes alaw = example("alaw");
    const Bytes adpcm = example("adpcm");
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    writeFile(dir / "a/Memo.rec", alaw);
    writeFile(dir / "b/MEMO", adpcm);
    ProgramRun run = recscan(dir, {"a", "b", "out"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "converted a/Memo.rec -> out/Memo.wav (A-law, 3.20 s)\n"
              "converted b/MEMO -> out/MEMO~2.wav (ADPCM, 3.20 s; named apart: another source is MEMO.wav)\n");
    EXPECT_EQ(readFile(dir / "out/MEMO~2.wav"), recwavOutput(adpcm));

    // A WAV that is not this source's is kept, unless --force.
    writeFile(dir / "out/Memo.wav", {'m', 'i', 'n', 'e'});
    run = recscan(dir, {"a", "b", "out"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "failed a/Memo.rec: out/Memo.wav exists; --force replaces it\n"
              "done b/MEMO -> out/MEMO~2.wav (already converted)\n");
    EXPECT_EQ(readFile(dir / "out/Memo.wav"), Bytes({'m', 'i', 'n', 'e'}));
    run = recscan(dir, {"--force", "a", "out"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir / "out/Memo.wav"), recwavOutput(alaw));
    EXPECT_EQ(filesBelow(dir / "out"), (std::vector<std::string>{"MEMO~2.wav", "Memo.wav"}));

    // Usage errors write nothing at all.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"a"}, {"a", "a/out"}, {".", "out"}, {"--jobs", "0", "a", "x"}, {"--max-entry-size", "9Q", "a", "x"}}) {
        SCOPED_TRACE(args.back());
        run = recscan(dir, args);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("Try 'recscan --help'"), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(dir / "a/out") || fs::exists(dir / "x"));
    }
}

TEST(Recscan, AnInterruptedRunLeavesWholeFilesOnlyAndFinishesWhenRunAgain) {
    const TempDir dir;
    const Bytes alaw = example("alaw");
    constexpr int files = 300;
    fs::create_directories(dir / "card");
    for (int i = 0; i < files; ++i) {
        writeFile(dir / "card" / std::to_string(i), alaw);
    }
    const Bytes expected = recwavOutput(alaw);
    // Stopped at some point of the run, whichever: every WAV there is whole, no temporary file stays.
    const std::string card = (dir / "card").string();
    const std::string out = (dir / "out").string();
    char* argv[] = {const_cast<char*>(RECSCAN_EXE), const_cast<char*>("--json"), const_cast<char*>(card.c_str()),
                    const_cast<char*>(out.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, RECSCAN_EXE, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    while (!fs::exists(dir / "out") || fs::is_empty(dir / "out")) {
        usleep(100);
    }
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    const std::vector<std::string> written = filesBelow(dir / "out");
    for (const std::string& name : written) {
        EXPECT_EQ(readFile(dir / "out" / name), expected) << name;
    }
    // Run again: what was written is done, the rest converted, nothing else made.
    const ProgramRun again = recscan(dir, {"card", "out"});
    EXPECT_EQ(again.status, 0);
    std::size_t done = 0;
    for (std::size_t at = again.out.find("\ndone "); at != std::string::npos; at = again.out.find("\ndone ", at + 1)) {
        ++done;
    }
    done += again.out.rfind("done ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(done, written.size());
    EXPECT_EQ(filesBelow(dir / "out").size(), static_cast<std::size_t>(files));
}

TEST(RecscanNames, StayBelowTheOutputFolderAndApart) {
    using recwav::scan::safeEntryPath;
    using recwav::scan::wavName;
    using Path = std::vector<std::string>;
    EXPECT_EQ(safeEntryPath("a/b/c"), (Path{"a", "b", "c"}));
    EXPECT_EQ(safeEntryPath("/../..//x"), (Path{"x"}));
    EXPECT_EQ(safeEntryPath("C:\\Psion\\..\\M.rec"), (Path{"Psion", "M.rec"}));
    EXPECT_EQ(safeEntryPath("c:x"), (Path{"x"}));
    EXPECT_EQ(safeEntryPath("../."), Path{});
    EXPECT_EQ(wavName("Memo.REC"), "Memo.wav");
    EXPECT_EQ(wavName("Memo"), "Memo.wav");
    EXPECT_EQ(wavName(".rec"), ".rec.wav");
    EXPECT_EQ(wavName("song.wve"), "song.wve.wav");
    recwav::scan::Namer namer;
    const Path folder = {"Docs"};
    EXPECT_EQ(namer.assign(folder, "a.wav"), "a.wav");
    EXPECT_EQ(namer.assign(folder, "A.WAV"), "A~2.WAV");
    EXPECT_EQ(namer.assign(folder, "a.wav"), "a~3.wav");
    EXPECT_EQ(namer.assign({}, "a.wav"), "a.wav");
    EXPECT_EQ(namer.assign({}, "a~2.wav"), "a~2.wav");
    EXPECT_EQ(namer.assign({}, "a.wav"), "a~3.wav");
}

}  // namespace

TEST(RecscanReport, CountsInTheSummaryAgreeWithTheirNouns) {
    const struct {
        std::array<std::uint64_t, 5> counts;  // converted, refused, failed, done, skipped
        const char* line;
    } cases[] = {
        {{0, 0, 0, 0, 0}, "0 converted, 0 done before, 0 refused, 0 failed, 0 other files skipped"},
        {{1, 1, 1, 1, 1}, "1 converted, 1 done before, 1 refused, 1 failed, 1 other file skipped"},
        {{9, 0, 2, 3, 21}, "9 converted, 3 done before, 0 refused, 2 failed, 21 other files skipped"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(recwav::scan::summaryLine(c.counts), c.line);
    }
}

// Of the files skipped, those named like a recording get a line of the report.
TEST(RecscanReport, NamesSkippedFilesNamedLikeRecordings) {
    using recwav::scan::Outcome;
    using recwav::scan::Result;
    const struct {
        const char* source;
        bool shown;
    } cases[] = {{"card/Memo.REC", true}, {"card/Alarm.wve", true}, {"card/Letter", false}, {"card/rec", false}};
    for (const auto& c : cases) {
        Result result;
        result.outcome = Outcome::skipped;
        result.source = c.source;
        result.message = "not a Record file, Series 3 sound or archive";
        EXPECT_EQ(recwav::scan::textLine(result),
                  c.shown ? "skipped " + std::string(c.source) + ": not a Record file, Series 3 sound or archive" : "");
    }
}
