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
#include "recscan_runs.hpp"
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

// An ISO 9660 image made to boot from a stick ends its first sector in 55 AA,
// as a disk does: it is still read as an archive, and archives in it opened.
TEST(Recscan, ABootableIsoIsReadAsAnArchive) {
    const TempDir dir;
    const Bytes alaw = example("alaw");
    Bytes iso = archiveBytes("iso9660", "none",
                             {{"Tune.rec", alaw}, {"backup.zip", archiveBytes("zip", "none", {{"Memo.rec", alaw}})}});
    ASSERT_GT(iso.size(), 32774U);
    ASSERT_EQ(std::string(iso.begin() + 32769, iso.begin() + 32774), "CD001");
    iso[510] = 0x55;
    iso[511] = 0xAA;
    writeFile(dir / "stick.iso", iso);
    const ProgramRun run = recscan(dir, {"stick.iso", "out"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(readFile(dir / "out/stick.iso/Tune.wav"), recwavOutput(alaw)) << run.out;
    EXPECT_EQ(readFile(dir / "out/stick.iso/backup.zip/Memo.wav"), recwavOutput(alaw)) << run.out;
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

namespace {

// A cpio (newc) archive by hand: libarchive writes no data for a pipe, but
// a hostile archive may carry any amount behind one.
Bytes cpioWithPipe(std::size_t pipeBytes, const Bytes& record) {
    Bytes cpio;
    const auto add = [&cpio](const std::string& name, unsigned mode, const Bytes* data, std::size_t size) {
        char header[111];
        std::snprintf(header, sizeof header, "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X", 1U, mode,
                      0U, 0U, 1U, 0U, size, 0U, 0U, 0U, 0U, name.size() + 1, 0U);
        cpio.insert(cpio.end(), header, header + 110);
        cpio.insert(cpio.end(), name.begin(), name.end());
        cpio.push_back(0);
        cpio.resize((cpio.size() + 3) / 4 * 4);
        if (data != nullptr) {
            cpio.insert(cpio.end(), data->begin(), data->end());
        } else {
            cpio.resize(cpio.size() + size);
        }
        cpio.resize((cpio.size() + 3) / 4 * 4);
    };
    add("pipe", 0010644, nullptr, pipeBytes);
    add("after.rec", 0100644, &record, record.size());
    add("TRAILER!!!", 0, nullptr, 0);
    return cpio;
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Damaged and odd sources side by side in one tree: what can be rescued is,
// what cannot is a failed line, and nothing else is called a failure.
TEST(RecscanFaults, RescueWhatIsLeftAndReportWhatIsNot) {
    const TempDir dir;
    const Bytes alaw = example("alaw");
    fs::create_directories(dir / "src/Memo.wav");
    Bytes tar = archiveBytes("ustar", "none", {{"m1", alaw}, {"m2", alaw}, {"m3", alaw}, {"m4", alaw}, {"m5", alaw}});
    tar[512 + 512 * ((alaw.size() + 511) / 512) + 100] ^= 0x40;  // the second header's mode
    writeFile(dir / "src/bad.tar", tar);
    writeArchive(dir / "src/slash.tar", "ustar", "none", {{"s1", alaw}, {"x/", alaw}, {"s3", alaw}});
    writeFile(dir / "src/pipe.cpio", cpioWithPipe(std::size_t{2} << 20, alaw));
    writeArchive(dir / "src/dates.tar", "paxr", "none",
                 {{"old.rec", alaw, -5000000000}, {"new.rec", alaw, 20000000000}});
    writeFile(dir / "src/Memo", alaw);
    writeFile(dir / "src/Memo.wav/x.rec", alaw);
    writeFile(dir / "src/zeros", Bytes(3000, 0));
    for (const Bytes& start : {Bytes{0x79, 0, 0, 0x10}, Bytes{0x5D, 0, 0, 1, 0}}) {
        Bytes guess = start;
        guess.resize(3000);
        writeFile(dir / ("src/guess" + std::to_string(start[0])), guess);
    }
    writeFile(dir / "src/private.rec", alaw);
    fs::permissions(dir / "src/private.rec", fs::perms::owner_read | fs::perms::owner_write);
    std::vector<Entry> three = {{"a", alaw}, {"b", alaw}, {"c", alaw}};
    writeArchive(dir / "src/cut.7z", "7zip", "none", three);
    fs::resize_file(dir / "src/cut.7z", fs::file_size(dir / "src/cut.7z") / 2);
    // A Series 3 sound as libsndfile writes it: 12000 samples, the count big-endian.
    SF_INFO info{8000, 8000, 1, SF_FORMAT_WVE | SF_FORMAT_ALAW, 0, 0};
    SNDFILE* alarm = sf_open((dir / "src/alarm.wve").c_str(), SFM_WRITE, &info);
    ASSERT_NE(alarm, nullptr) << sf_strerror(nullptr);
    const std::vector<short> samples(12000, 1000);
    sf_write_short(alarm, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(alarm);

    const ProgramRun run = recscan(dir, {"--max-total-size", "1M", "src", "out"});
    EXPECT_EQ(run.status, 1);
    for (const char* line : {
             "converted src/Memo -> out/Memo.wav (A-law, 3.20 s)\n",
             "converted src/Memo.wav/x.rec -> out/Memo~2.wav/x.wav (A-law, 3.20 s; named apart: another source is "
             "Memo.wav)\n",
             "converted src/alarm.wve -> out/alarm.wve.wav (Series 3 A-law, 1.50 s)\n",
             "converted src/bad.tar!/m1 -> out/bad.tar/m1.wav (A-law, 3.20 s)\n"
             "failed src/bad.tar: damaged archive: Damaged tar archive (read on past the damage)\n"
             "converted src/bad.tar!/m3 -> out/bad.tar/m3.wav (A-law, 3.20 s)\n",
             "failed src/cut.7z: damaged archive: cut short\n",
             "failed src/pipe.cpio: stopped: its files expand past 1048576 bytes (--max-total-size)\n",
             "failed src/slash.tar: damaged archive: Damaged tar archive (read on past the damage)\n"
             "converted src/slash.tar!/s3 -> out/slash.tar/s3.wav (A-law, 3.20 s)\n",
         }) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\nin:\n" << run.out;
    }
    // The zeros and the guesses are skipped: the four failures are the damaged archives.
    EXPECT_NE(run.err.find("12 converted, 0 done before, 0 refused, 4 failed"), std::string::npos) << run.err;
    EXPECT_EQ(filesBelow(dir / "out"),
              (std::vector<std::string>{"Memo.wav", "Memo~2.wav/x.wav", "alarm.wve.wav", "bad.tar/m1.wav",
                                        "bad.tar/m3.wav", "bad.tar/m4.wav", "bad.tar/m5.wav", "dates.tar/new.wav",
                                        "dates.tar/old.wav", "private.wav", "slash.tar/s1.wav", "slash.tar/s3.wav"}));
    EXPECT_EQ(modeOf(dir / "out/private.wav") & 077, 0U) << "never wider than its source";
    EXPECT_EQ(modeOf(dir / "out/Memo.wav") & ~modeOf(dir / "src/Memo"), 0U);

    // Run again: done, dates the file system could not hold included.
    const ProgramRun again = recscan(dir, {"--max-total-size", "1M", "src", "out"});
    EXPECT_NE(again.err.find("0 converted, 12 done before, 0 refused, 4 failed"), std::string::npos) << again.out;
}

// (LeakSanitizer cannot run under ptrace: the traced runs go without it.)
// A failing disk, played by strace: wherever a read fails, in an archive,
// a Record file or a folder, exit status 0 means every recording is out.
TEST(RecscanFaults, ExitZeroOnlyWhenEveryRecordingIsInTheOutput) {
    const TempDir dir;
    if (runCommand(dir, "strace", {"strace", "-o", "/dev/null", "true"}).status != 0) {
        GTEST_SKIP() << "strace is missing, or cannot trace here";
    }
    const Bytes alaw = example("alaw");
    fs::create_directories(dir / "src/sub");
    writeArchive(dir / "src/three.zip", "zip", "none", {{"r1.rec", alaw}, {"r2.rec", alaw}, {"r3.rec", alaw}});
    writeFile(dir / "src/sub/a.rec", alaw);
    writeFile(dir / "src/sub/b.rec", alaw);
    const struct {
        const char* calls;
        const char* path;
        const char* failed;  // the line a failure gives, from its start
    } cases[] = {
        {"read,pread64", "src/three.zip", "failed src/three.zip: could not read input file: Input/output error\n"},
        {"read,pread64", "src/sub/a.rec", "failed src/sub/a.rec: could not read input file: Input/output error\n"},
        {"getdents64", "src", "failed src: could not read folder: Input/output error\n"},
        {"getdents64", "src/sub", "failed src/sub: could not read folder: Input/output error\n"},
    };
    for (const auto& c : cases) {
        int failures = 0;
        for (int when = 1; when <= 6; ++when) {
            SCOPED_TRACE(std::string(c.path) + ", call " + std::to_string(when));
            fs::remove_all(dir / "out");
            const std::string inject = "inject=" + std::string(c.calls) + ":error=EIO:when=" + std::to_string(when);
            const ProgramRun run =
                runCommand(dir, "strace",
                           {"strace", "-f", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", "/dev/null", "-P", c.path, "-e",
                            std::string("trace=") + c.calls, "-e", inject, RECSCAN_EXE, "-j", "1", "src", "out"});
            if (run.status == 0) {
                EXPECT_EQ(filesBelow(dir / "out").size(), 5U) << run.out;
                EXPECT_EQ(run.out.find("failed"), std::string::npos) << run.out;
            } else {
                EXPECT_EQ(run.status, 1) << run.err;
                EXPECT_NE(run.out.find(c.failed), std::string::npos) << run.out;
                ++failures;
            }
        }
        EXPECT_GT(failures, 0) << c.path << ": no injected error reached recscan";
    }
}

// Each WAV reaches the disk before it has its name, and its folder after: a
// flush that fails is a failed file, and no WAV is left under its name.
TEST(RecscanFaults, EveryWavIsFlushedBeforeItIsNamed) {
    const TempDir dir;
    if (runCommand(dir, "strace", {"strace", "-o", "/dev/null", "true"}).status != 0) {
        GTEST_SKIP() << "strace is missing, or cannot trace here";
    }
    fs::create_directories(dir / "src");
    writeFile(dir / "src/a.rec", example("alaw"));
    writeFile(dir / "src/b.rec", example("adpcm"));
    const ProgramRun traced =
        runCommand(dir, "strace",
                   {"strace", "-f", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", (dir / "trace").string(), "-e",
                    "trace=fsync,linkat,renameat,renameat2", RECSCAN_EXE, "src", "out"});
    ASSERT_EQ(traced.status, 0) << traced.out;
    const Bytes trace = readFile(dir / "trace");
    const std::string text(trace.begin(), trace.end());
    std::size_t flushes = 0;
    for (std::size_t at = text.find("fsync("); at != std::string::npos; at = text.find("fsync(", at + 1)) {
        ++flushes;
    }
    EXPECT_EQ(flushes, 4U) << text;  // each WAV, and its folder after it is named
    fs::remove_all(dir / "out");
    const ProgramRun failing =
        runCommand(dir, "strace",
                   {"strace", "-f", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                    "inject=fsync:error=EIO:when=1", RECSCAN_EXE, "-j", "1", "src", "out"});
    EXPECT_EQ(failing.status, 1);
    EXPECT_NE(failing.out.find("failed src/a.rec: could not write output file: Input/output error"), std::string::npos)
        << failing.out;
    EXPECT_FALSE(fs::exists(dir / "out/a.wav"));
    EXPECT_TRUE(fs::exists(dir / "out/b.wav"));
}

// The report and the descriptors: a line that cannot be written, or a limit
// on open files that would have failed them, never ends in exit status 0.
TEST(RecscanCommand, ExitsZeroOnlyWithTheWholeReportAndEveryFile) {
    const TempDir dir;
    const Bytes alaw = example("alaw");
    fs::create_directories(dir / "card");
    constexpr int files = 300;
    for (int i = 0; i < files; ++i) {
        writeFile(dir / "card" / std::to_string(i), alaw);
    }
    ProgramRun run = runCommand(dir, "sh", {"sh", "-c", "exec \"$0\" card out >/dev/full", RECSCAN_EXE});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("recscan: could not write the report: No space left on device\n"), std::string::npos)
        << run.err;
    fs::remove_all(dir / "out");
    // 64 jobs, each with files waiting for it, within 100 descriptors.
    run = runCommand(dir, "sh", {"sh", "-c", "ulimit -n 100 && exec \"$0\" -j 64 card out", RECSCAN_EXE});
    EXPECT_EQ(run.status, 0) << run.out.substr(0, 500);
    EXPECT_EQ(filesBelow(dir / "out").size(), static_cast<std::size_t>(files));
}

TEST(RecscanPipeline, SizesItsWorkToTheDescriptorsItMayOpen) {
    using recwav::scan::filesInFlight;
    using recwav::scan::jobsFor;
    for (const unsigned cores : {0U, 1U, 2U, 8U, 64U, 200U, 1000U}) {
        for (const unsigned asked : {0U, 1U, 7U, 64U}) {
            for (const std::uint64_t descriptors : {std::uint64_t{40}, std::uint64_t{100}, std::uint64_t{256},
                                                    std::uint64_t{1024}, std::uint64_t{1} << 20}) {
                SCOPED_TRACE(std::to_string(cores) + " cores, " + std::to_string(asked) + " asked, " +
                             std::to_string(descriptors) + " descriptors");
                const unsigned jobs = jobsFor(asked, cores, descriptors);
                const std::uint64_t waiting = filesInFlight(jobs, descriptors);
                EXPECT_GE(jobs, 1U);
                EXPECT_LE(jobs, asked != 0 ? asked : std::clamp(cores, 1U, recwav::scan::maxJobs));
                EXPECT_GE(waiting, jobs);
                // What the run keeps, each worker's own, and a file for each one waiting.
                EXPECT_LE(32 + 4 * jobs + waiting, descriptors);
                if (descriptors >= 1024) {
                    EXPECT_EQ(jobs, asked != 0 ? asked : std::clamp(cores, 1U, recwav::scan::maxJobs));
                }
            }
        }
    }
}

TEST(RecscanNames, PutFoldersApartFromFilesAsFilesAre) {
    using Path = std::vector<std::string>;
    recwav::scan::Namer namer;
    EXPECT_EQ(namer.assign({}, "Memo.wav"), "Memo.wav");
    const struct {
        Path source;
        Path placed;
    } cases[] = {
        {{"Memo.wav"}, {"Memo~2.wav"}},            // a file's WAV took the name
        {{"memo.WAV", "a"}, {"Memo~2.wav", "a"}},  // the same folder, however cased
        {{"Docs"}, {"Docs"}},
        {{"Docs", "Memo.wav"}, {"Docs", "Memo.wav"}},  // elsewhere, free
    };
    for (const auto& c : cases) {
        EXPECT_EQ(namer.placeFolders(c.source), c.placed);
    }
    EXPECT_EQ(namer.assign({"Docs"}, "Memo.wav"), "Memo~2.wav") << "a folder took it";
}

// A source reached again through a bind mount is the same folder.
TEST(RecscanCommand, TellsASourceBehindABindMountFromOtherFolders) {
    const TempDir dir;
    fs::create_directories(dir / "card");
    fs::create_directories(dir / "mirror");
    writeFile(dir / "card/Memo.rec", example("alaw"));
    if (geteuid() != 0 || runCommand(dir, "mount", {"mount", "--bind", "card", "mirror"}).status != 0) {
        GTEST_SKIP() << "cannot bind-mount here";
    }
    const ProgramRun run = recscan(dir, {"card", "mirror/out"});
    runCommand(dir, "umount", {"umount", "mirror"});
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_NE(run.err.find("overlap: nothing under a source is written"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "card/out"));
}

}  // namespace

namespace {

// The walk's decisions, each on its own: what an entry is, where it goes,
// whether it is read, what its WAV may be, and whether a WAV is done.
TEST(RecscanDecisions, TellEntriesApartPlaceThemAndJudgeThem) {
    using namespace recwav::scan;
    const struct {
        mode_t type;
        bool link;
        EntryType expected;
    } types[] = {{S_IFREG, false, EntryType::file},   {0, false, EntryType::file},
                 {S_IFDIR, false, EntryType::folder}, {S_IFREG, true, EntryType::other},
                 {S_IFIFO, false, EntryType::other},  {S_IFLNK, true, EntryType::other}};
    for (const auto& t : types) {
        EXPECT_EQ(entryType(t.type, t.link), t.expected) << std::oct << t.type;
    }

    const Bytes zip = archiveBytes("zip", "none", {{"Memo", example("alaw")}});
    const struct {
        Bytes head;
        Content expected;
    } contents[] = {{example("adpcm"), Content::record},
                    {fixture::series3Sound(Bytes(8, 0xD5), 0, 1), Content::series3},
                    {zip, Content::archive},
                    {Bytes(zip.begin(), zip.begin() + 200), Content::archive},  // known, if damaged
                    {Bytes{0x37, 0, 0, 0x10, 0x6D, 0, 0, 0x10, 0x8F, 0, 0, 0x10}, Content::document},  // a Word file
                    {Bytes(3000, 0), Content::other},
                    {Bytes{0x79, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Content::other},  // lzma's mere guess
                    {Bytes{'D', 'e', 'a', 'r'}, Content::other}};
    for (const auto& c : contents) {
        EXPECT_EQ(contentOf(c.head.data(), c.head.size()), c.expected) << c.head.size() << " bytes";
    }

    using Path = std::vector<std::string>;
    EXPECT_EQ(placeEntry({"b.zip"}, "/Docs\\..\\x.rec")->folders, (Path{"b.zip", "Docs"}));
    EXPECT_EQ(placeEntry({"b.zip"}, "C:x.rec")->name, "x.rec");
    EXPECT_FALSE(placeEntry({"b.zip"}, "../.").has_value());

    Settings settings;
    settings.maxEntrySize = 1000;
    settings.archiveDepth = 2;
    const struct {
        Content content;
        bool named;
        unsigned depth;
        std::optional<std::uint64_t> size;
        EntryVerdict expected;
    } verdicts[] = {
        {Content::record, true, 1, 1000, {true, Outcome::converted, ""}},
        {Content::series3, true, 1, std::nullopt, {true, Outcome::converted, ""}},  // measured as read
        {Content::record, true, 1, 1001, {false, Outcome::failed, "larger than 1000 bytes (--max-entry-size)"}},
        {Content::other, true, 1, 5000, {false, Outcome::skipped, "not a Record file, Series 3 sound or archive"}},
        {Content::record, false, 1, 10, {false, Outcome::failed, "no name to give its WAV"}},
        {Content::other, false, 1, 10, {false, Outcome::skipped, "no name to give its WAV"}},
        {Content::archive, true, 1, 10, {true, Outcome::converted, ""}},
        {Content::archive,
         true,
         2,
         10,
         {false, Outcome::failed, "an archive inside 2 archives (--archive-depth opens deeper ones)"}},
    };
    for (const auto& v : verdicts) {
        const EntryVerdict verdict = judgeEntry(v.content, v.named, v.depth, v.size, settings);
        EXPECT_EQ(verdict.read, v.expected.read) << v.expected.reason;
        EXPECT_EQ(verdict.outcome, v.expected.outcome) << v.expected.reason;
        EXPECT_EQ(verdict.reason, v.expected.reason);
    }

    EXPECT_EQ(entryMode(0644, 0600), 0600U);
    EXPECT_EQ(entryMode(0600, 0755), 0600U);  // never executable, never wider than the archive
    EXPECT_EQ(entryMode(0640, 0), 0640U);     // an entry that keeps no bits

    struct stat wav {};
    wav.st_mode = S_IFREG | 0644;
    wav.st_size = 1044;
    wav.st_mtim = {-2147483648, 0};  // as ext4 clamps 1811
    EXPECT_TRUE(convertedBefore(wav, 1044, {-2147483648, 0}));
    EXPECT_FALSE(convertedBefore(wav, 1046, {-2147483648, 0}));
    EXPECT_FALSE(convertedBefore(wav, 1044, {-5000000000, 0}));
    wav.st_mode = S_IFLNK | 0777;
    EXPECT_FALSE(convertedBefore(wav, 1044, {-2147483648, 0}));
}

}  // namespace
