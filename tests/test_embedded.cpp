// SPDX-License-Identifier: MIT
// The search for Record sounds inside other bytes: each part of the check,
// and whatever hosts, windows and codings, exactly the sounds put in.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include <recwav/embedded.hpp>
#include <recwav/recordfile.hpp>
#include "test_files.hpp"

using namespace recwav;

using fixture::Bytes;

namespace {

// Every sample recwav's reader and decoders give for a Record file.
std::vector<std::int16_t> decodeAll(const Bytes& file) {
    const FilePtr input = openBytes(file);
    SoundStream stream;
    if (parseRecordFile(input.get(), stream) < 0) {
        return {};
    }
    std::vector<std::int16_t> samples;
    std::int16_t batch[4000];
    for (std::uint32_t got = 4000; got == 4000;) {
        got = stream.decode(4000, batch, stream);
        samples.insert(samples.end(), batch, batch + got);
    }
    return samples;
}

std::vector<std::int16_t> noise(std::mt19937& random, std::size_t count) {
    std::uniform_int_distribution<int> sample(-12000, 12000);
    std::vector<std::int16_t> samples(count);
    for (std::int16_t& s : samples) {
        s = static_cast<std::int16_t>(sample(random));
    }
    return samples;
}

Bytes codesOf(std::uint32_t codec, const std::vector<std::int16_t>& samples) {
    return codec == codecALaw ? fixture::encodeALaw(samples) : fixture::encodeAdpcm(samples, 300);
}

// Offsets inside the object of embeddedObject(): table at 4, its entries'
// UIDs at 5 and 13, their positions at 9 and 17, the identity stream at 21
// and the sound header at 36.
constexpr std::size_t objectTable = 4;
constexpr std::size_t objectSoundHeader = 36;

}  // namespace

TEST(FindRecordings, RefusesACandidateFailingAnyPartOfTheCheck) {
    const Bytes codes = fixture::encodeALaw(std::vector<std::int16_t>(50, 1000));
    const Bytes good = fixture::embeddedObject(fixture::wavrecLaidOut(codecALaw, 50, codes));
    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
        bool found;
    };
    const std::vector<Case> cases = {
        {"as built", [](Bytes&) {}, true},
        {"the count byte's low bit set", [](Bytes& b) { b[objectTable] = 0x05; }, true},
        {"the entries the other way round",
         [](Bytes& b) { std::swap_ranges(b.begin() + 5, b.begin() + 13, b.begin() + 13); }, true},
        {"the table outside the bytes", [](Bytes& b) { fixture::setLe32(b, 0, 0x00FFFFFF); }, false},
        {"a table of one entry", [](Bytes& b) { b[objectTable] = 0x02; }, false},
        {"a table running past the end", [](Bytes& b) { b[objectTable] = 0xFE; }, false},
        {"a third UID", [](Bytes& b) { fixture::setLe32(b, 13, 0x10000053); }, false},
        {"no identity entry", [](Bytes& b) { fixture::setLe32(b, 13, soundDataUid); }, false},
        {"no sound data entry", [](Bytes& b) { fixture::setLe32(b, 5, identityUid); }, false},
        {"a wrong identity word", [](Bytes& b) { b[21] ^= 1; }, false},
        {"the identity stream outside", [](Bytes& b) { fixture::setLe32(b, 17, 0x7FFFFFF0); }, false},
        {"the sound header outside", [](Bytes& b) { fixture::setLe32(b, 9, 0x7FFFFFF0); }, false},
        {"codec word 1", [](Bytes& b) { fixture::setLe32(b, objectSoundHeader + 4, 1); }, false},
        {"codec word 0x100001A0", [](Bytes& b) { fixture::setLe32(b, objectSoundHeader + 4, 0x100001A0); }, false},
        {"a declared count the reader refuses", [](Bytes& b) { fixture::setLe32(b, objectSoundHeader, 0xFFFFFFFF); },
         false},
        {"one byte of sound more than there is", [](Bytes& b) { fixture::setLe32(b, objectSoundHeader + 16, 51); },
         false},
    };
    for (const Case& c : cases) {
        Bytes object = good;
        c.change(object);
        const std::vector<FoundRecording> found = findRecordings(object.data(), object.size());
        ASSERT_EQ(found.size(), c.found ? 1U : 0U) << c.what;
        if (c.found) {
            EXPECT_EQ(found[0].offset, 0U) << c.what;
            EXPECT_EQ(found[0].end, object.size()) << c.what;
            EXPECT_EQ(decodeAll(recordFileOf(object.data(), 0, found[0])),
                      decodeAll(fixture::wavrecLaidOut(codecALaw, 50, codes)))
                << c.what;
        }
    }
}

TEST(FindRecordings, FindsExactlyTheSoundsPutInWhateverTheHostAndWindows) {
    std::mt19937 random(24);
    for (int round = 0; round < 60; ++round) {
        // Objects, and for the standalone search whole files too, some with
        // their byte count 0, in a document of noise.
        std::vector<Bytes> standalones;
        std::vector<Bytes> pieces;
        std::vector<bool> whole;
        const int count = static_cast<int>(random() % 4);
        for (int i = 0; i < count; ++i) {
            const std::uint32_t codec = random() % 2 == 0 ? codecALaw : codecAdpcm;
            const auto samples = noise(random, 1 + random() % 3000);
            Bytes file =
                fixture::wavrecLaidOut(codec, static_cast<std::uint32_t>(samples.size()), codesOf(codec, samples));
            const bool isFile = round % 2 == 1 && random() % 2 == 0;
            whole.push_back(isFile);
            standalones.push_back(file);
            if (isFile && random() % 2 == 0) {
                fixture::setLe32(file, recordSoundHeaderPosition + 16, 0);
            }
            pieces.push_back(isFile ? file : fixture::embeddedObject(file));
        }
        Bytes host = fixture::epocDocument({}, 0);
        // Every third host is thick with the UIDs' and identity word's bytes,
        // as a file of many tables would be.
        const bool thick = round % 3 == 2;
        const auto addNoise = [&host, &random, thick] {
            constexpr std::uint8_t words[] = {0x52, 0, 0, 0x10, 0x7E, 0, 0, 0x10, 0x89, 0, 0, 0x10};
            for (std::size_t n = random() % 3000; n > 0; --n) {
                host.push_back(thick && random() % 4 != 0 ? words[host.size() % sizeof words]
                                                          : static_cast<std::uint8_t>(random()));
            }
        };
        for (const Bytes& piece : pieces) {
            addNoise();
            host.insert(host.end(), piece.begin(), piece.end());
        }
        addNoise();
        SearchOptions options;
        options.standalone = round % 2 == 1;
        const std::vector<FoundRecording> found = findRecordings(host.data(), host.size(), 0, options);
        ASSERT_EQ(found.size(), pieces.size()) << "round " << round;
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].standalone, whole[i]);
            EXPECT_EQ(decodeAll(recordFileOf(host.data(), 0, found[i])), decodeAll(standalones[i]))
                << "round " << round << ", sound " << i;
        }
        // The same finds through overlapping windows, each taken once, at any base.
        const std::size_t window = 1 + random() % host.size();
        const std::size_t overlap = 8000;
        std::vector<FoundRecording> windowed;
        for (std::size_t start = 0; start < host.size(); start += window) {
            const std::size_t size = std::min(host.size() - start, window + overlap);
            SearchOptions part = options;
            part.startsBefore = window;
            const auto some = findRecordings(host.data() + start, size, 1000 + start, part);
            windowed.insert(windowed.end(), some.begin(), some.end());
        }
        ASSERT_EQ(windowed.size(), found.size()) << "round " << round;
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(windowed[i].offset, found[i].offset + 1000);
            EXPECT_EQ(windowed[i].end, found[i].end + 1000);
        }
    }
}

TEST(FindRecordings, TellsDocumentsFromRecordFiles) {
    const Bytes record = fixture::wavrecLaidOut(codecALaw, 0, {});
    const Bytes document = fixture::epocDocument({}, 10);
    EXPECT_TRUE(looksLikeEpocDocument(document.data(), document.size()));
    EXPECT_FALSE(looksLikeEpocDocument(record.data(), record.size()));
    EXPECT_FALSE(looksLikeEpocDocument(document.data() + 1, document.size() - 1));
}
