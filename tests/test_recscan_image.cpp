// SPDX-License-Identifier: MIT
// recscan on real card images made with mkfs.fat and mtools (FAT16, FAT32,
// partitioned, E01), documents holding voice notes, and --carve: every WAV
// against recwav's own output for the same sound as a file of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <recwav/embedded.hpp>
#include <recwav/recordfile.hpp>

#include "recscan_runs.hpp"
#include "test_files.hpp"

namespace fs = std::filesystem;
using fixture::Bytes;

namespace {

constexpr time_t baseTime = 1000000000;  // even: FAT keeps two-second times

bool haveTools(std::initializer_list<const char*> tools) {
    const TempDir dir;
    for (const char* tool : tools) {
        if (runCommand(dir, "sh", {"sh", "-c", std::string("command -v ") + tool}).status != 0) {
            return false;
        }
    }
    return true;
}

ProgramRun shell(const TempDir& dir, const std::string& script) {
    return runCommand(dir, "sh", {"sh", "-c", "export MTOOLS_SKIP_CHECK=1 TZ=UTC; set -e; " + script});
}

// Read at once: images are tens of megabytes.
Bytes contents(const fs::path& path) {
    Bytes bytes(fs::file_size(path));
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::map<std::string, Bytes> filesBelow(const fs::path& root) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) {
            files[entry.path().lexically_relative(root).string()] = contents(entry.path());
        }
    }
    return files;
}

time_t mtimeOf(const fs::path& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1;
}

// The sounds put on every card, each a file of its own as recwav would take it.
struct Card {
    Bytes memo = fixture::longRecording(recwav::codecALaw, 20000, 1);
    Bytes tune = fixture::longRecording(recwav::codecAdpcm, 15000, 2);
    Bytes gone = fixture::longRecording(recwav::codecALaw, 9000, 3);
    Bytes note1 = fixture::wavrecLaidOut(recwav::codecALaw, 3000, Bytes(3000, 0x35));
    Bytes note2 =
        fixture::wavrecLaidOut(recwav::codecAdpcm, 600, fixture::encodeAdpcm(std::vector<std::int16_t>(600, 900), 250));
    Bytes letter = fixture::epocDocument({fixture::embeddedObject(note1), fixture::embeddedObject(note2)}, 4000);

    // Copied in with their dates (mcopy -m), then Gone.rec deleted.
    std::string fill(const std::string& target) const {
        return "mmd -i " + target + " '::/Recordings Folder'; mcopy -m -i " + target +
               " 'Memo from the meeting.rec' '::/Recordings Folder/'; mcopy -m -i " + target +
               " tune.rec Letter junk.bin ::/; mcopy -m -i " + target + " Gone.rec ::/; mdel -i " + target +
               " ::/Gone.rec; ";
    }
    void save(const TempDir& dir) const {
        writeFile(dir / "Memo from the meeting.rec", memo);
        writeFile(dir / "tune.rec", tune);
        writeFile(dir / "Gone.rec", gone);
        writeFile(dir / "Letter", letter);
        writeFile(dir / "junk.bin", Bytes(5000, 0x20));
        time_t at = baseTime;
        for (const char* name : {"Memo from the meeting.rec", "tune.rec", "Gone.rec", "Letter", "junk.bin"}) {
            fs::last_write_time(dir / name,
                                fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(at)));
            at += 2;
        }
    }
    // Below the image's folder: each WAV, what recwav makes of its sound, and its date.
    std::map<std::string, std::pair<Bytes, time_t>> expected() const {
        return {{"Recordings Folder/Memo from the meeting.wav", {recwavOutput(memo), baseTime}},
                {"tune.wav", {recwavOutput(tune), baseTime + 2}},
                {"Gone.wav", {recwavOutput(gone), baseTime + 4}},
                {"Letter/Notes.wav", {recwavOutput(note1), baseTime + 6}},
                {"Letter/Notes~2.wav", {recwavOutput(note2), baseTime + 6}}};
    }
};

}  // namespace

TEST(RecscanImages, RescuesCardImagesDeletedFilesAndVoiceNotesAsRecwavWould) {
    if (!haveTools({"mkfs.fat", "mcopy", "mdel", "mmd", "sfdisk"})) {
        GTEST_SKIP() << "mkfs.fat, mtools or sfdisk missing";
    }
    const Card card;
    struct Case {
        const char* kind;
        std::string image;
        std::string make;                     // the shell commands that make it from the files
        std::vector<std::string> partitions;  // folders below the image's, one a file system
    };
    // With this disk identifier libarchive's tar reader takes the partition
    // table for a header (as with some 1 in 30 of those sfdisk chooses).
    const std::string sfdisk =
        "truncate -s 40M card.img; printf 'label-id: 0x013ae2cd\\n2048,40000,6\\n42048,,6\\n' | sfdisk -q card.img; "
        "mkfs.fat -F 16 --offset 2048 card.img 20000 >/dev/null 2>&1; "
        "mkfs.fat -F 16 --offset 42048 card.img 19000 >/dev/null 2>&1; ";
    std::vector<Case> cases = {
        {"FAT16", "card.img", "mkfs.fat -C -F 16 card.img 16384 >/dev/null; " + card.fill("card.img"), {""}},
        {"FAT32", "card.img", "mkfs.fat -C -F 32 card.img 40000 >/dev/null; " + card.fill("card.img"), {""}},
        {"two partitions",
         "card.img",
         sfdisk + card.fill("card.img@@1M") + card.fill("card.img@@" + std::to_string(42048 * 512)),
         {"1/", "2/"}},
    };
    if (haveTools({"ewfacquire"})) {
        cases.push_back({"E01",
                         "card.E01",
                         "mkfs.fat -C -F 16 raw.img 16384 >/dev/null; " + card.fill("raw.img") +
                             "ewfacquire -u -q -c none -t card raw.img >/dev/null; rm raw.img",
                         {""}});
    }
    for (const Case& c : cases) {
        const TempDir dir;
        card.save(dir);
        const ProgramRun made = shell(dir, c.make);
        ASSERT_EQ(made.status, 0) << c.kind << ": " << made.err;
        const Bytes image = contents(dir / c.image);
        const std::map<std::string, Bytes> before = filesBelow(dir.path());

        const ProgramRun first = recscan(dir, {"--json", c.image, "out"});
        EXPECT_EQ(first.status, 0) << c.kind << ": " << first.out << first.err;
        std::map<std::string, std::pair<Bytes, time_t>> expected;
        for (const std::string& partition : c.partitions) {
            for (const auto& [path, wav] : card.expected()) {
                std::string where = c.image;
                where += '/';
                where += partition;
                expected[where + path] = wav;
            }
        }
        const std::map<std::string, Bytes> written = filesBelow(dir / "out");
        EXPECT_EQ(written.size(), expected.size()) << c.kind;
        for (const auto& [path, wav] : expected) {
            const auto found = written.find(path);
            ASSERT_NE(found, written.end()) << c.kind << ": no " << path << "\n" << first.out;
            EXPECT_EQ(found->second, wav.first) << c.kind << ": " << path;
            EXPECT_EQ(mtimeOf(dir / "out" / path), wav.second) << c.kind << ": " << path;
        }
        std::size_t deleted = 0;
        for (std::size_t at = 0; (at = first.out.find("\"deleted\":true", at)) != std::string::npos; ++at) {
            ++deleted;
        }
        EXPECT_EQ(deleted, c.partitions.size()) << c.kind << ": " << first.out;
        EXPECT_NE(first.out.find("Gone.rec\",\"output\":\"out/" + c.image), std::string::npos) << first.out;
        EXPECT_NE(first.out.find("Letter@"), std::string::npos) << first.out;

        // Nothing written but below OUTDIR, the image untouched, and a second run finds it all done.
        std::map<std::string, Bytes> after = filesBelow(dir.path());
        std::erase_if(after, [](const auto& file) { return file.first.rfind("out/", 0) == 0; });
        EXPECT_EQ(after, before) << c.kind;
        EXPECT_EQ(contents(dir / c.image), image) << c.kind;
        const ProgramRun second = recscan(dir, {c.image, "out"});
        EXPECT_EQ(second.status, 0) << c.kind;
        EXPECT_EQ(("\n" + second.out).find("\nconverted "), std::string::npos) << c.kind << ": " << second.out;
        EXPECT_NE(second.out.find("done " + c.image + "!/"), std::string::npos) << c.kind << ": " << second.out;
        EXPECT_NE(second.out.find("(deleted, already converted)"), std::string::npos) << c.kind << ": " << second.out;
    }
}

TEST(RecscanImages, CarvesWhatNoDirectoryNamesOnlyWhenAsked) {
    if (!haveTools({"mkfs.fat", "mcopy", "mdel", "mmd"})) {
        GTEST_SKIP() << "mkfs.fat or mtools missing";
    }
    const Card card;
    const TempDir dir;
    card.save(dir);
    // A recording left in the free space at 12 MiB, a Record file inside a
    // file of no known kind, and a voice note outside any document.
    const Bytes lost = fixture::longRecording(recwav::codecAdpcm, 7000, 4);
    // Reserved first: GCC 12 misreads a vector's growing insert as out of bounds.
    const Bytes object = fixture::embeddedObject(card.note2);
    Bytes blob;
    blob.reserve(3000 + card.memo.size() + 500 + object.size() + 700);
    blob.assign(3000, 0x11);
    blob.insert(blob.end(), card.memo.begin(), card.memo.end());
    blob.insert(blob.end(), 500, 0x22);
    const std::size_t objectAt = blob.size();
    blob.insert(blob.end(), object.begin(), object.end());
    blob.insert(blob.end(), 700, 0x33);
    writeFile(dir / "lost.rec", lost);
    writeFile(dir / "blob.bin", blob);
    ASSERT_EQ(shell(dir, "mkfs.fat -C -F 16 card.img 16384 >/dev/null; " + card.fill("card.img") +
                             "dd if=lost.rec of=card.img bs=1M seek=12 conv=notrunc 2>/dev/null")
                  .status,
              0);

    const ProgramRun plain = recscan(dir, {"card.img", "blob.bin", "plain"});
    EXPECT_EQ(plain.out.find('@' + std::to_string(12 << 20)), std::string::npos) << plain.out;
    EXPECT_EQ(filesBelow(dir / "plain").size(), card.expected().size());

    const ProgramRun carved = recscan(dir, {"--carve", "card.img", "blob.bin", "out"});
    EXPECT_EQ(carved.status, 0) << carved.out << carved.err;
    const std::map<std::string, Bytes> written = filesBelow(dir / "out");
    const std::map<std::string, Bytes> wanted = {
        {"card.img@" + std::to_string(12 << 20) + ".wav", recwavOutput(lost)},
        {"blob.bin@3000.wav", recwavOutput(card.memo)},
        {"blob.bin@" + std::to_string(objectAt) + ".wav", recwavOutput(card.note2)},
    };
    for (const auto& [path, wav] : wanted) {
        ASSERT_TRUE(written.count(path)) << path << "\n" << carved.out;
        EXPECT_EQ(written.at(path), wav) << path;
    }
    // The files its folders name, and no more: nothing found twice.
    EXPECT_EQ(written.size(), card.expected().size() + wanted.size()) << carved.out;
    EXPECT_NE(carved.out.find("converted card.img@" + std::to_string(12 << 20) + " -> "), std::string::npos)
        << carved.out;
}
