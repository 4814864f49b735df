// SPDX-License-Identifier: MIT
// Whole Record files: the encoders' codes behind the writer's preamble, the
// counts settled at the end, and the check that reads a file back as any
// reader would.
#include <sys/types.h>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>
#include <recwav/endian.hpp>

namespace recwav {

namespace {

// The sound header's byte count is 32-bit.
constexpr std::uint64_t maxSoundBytes = std::numeric_limits<std::uint32_t>::max();

// Two compact counts of at most four bytes, and four bytes.
constexpr std::size_t adpcmBlockHeaderBound = 12;

// The file's length, or UINT64_MAX where it cannot be told.
std::uint64_t fileLength(std::FILE* file) {
#if defined(_WIN32)
    const bool atEnd = _fseeki64(file, 0, SEEK_END) == 0;
    const __int64 length = atEnd ? _ftelli64(file) : -1;
#else
    const bool atEnd = fseeko(file, 0, SEEK_END) == 0;
    const off_t length = atEnd ? ftello(file) : -1;
#endif
    return length < 0 ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(length);
}

void startRecord(RecordEncoder& encoder, std::vector<std::uint8_t>& out) {
    if (!encoder.started) {
        const auto preamble = recordFilePreamble(encoder.settings.codec, 0, 0, encoder.settings.fields);
        out.insert(out.end(), preamble.begin(), preamble.end());
        encoder.started = true;
    }
}

// Counts `bytes` more of coded sound for `codedSamples` samples, which decode
// to `meant`.
Status account(RecordEncoder& encoder, std::size_t codedSamples, std::size_t bytes,
               const std::vector<std::int16_t>& meant, std::vector<std::int16_t>* decoded) {
    RecordSummary& summary = encoder.summary;
    summary.samples += codedSamples;
    summary.soundBytes += bytes;
    summary.digest = digestSamples(summary.digest, meant.data(), meant.size());
    if (decoded != nullptr) {
        decoded->insert(decoded->end(), meant.begin(), meant.end());
    }
    return encoder.given <= maxDeclaredCount && summary.soundBytes <= maxSoundBytes ? Status::ok : Status::tooLong;
}

bool adpcmRefused(const RecordEncoder& encoder) {
    return encoder.settings.codec == codecAdpcm && checkAdpcmSettings(encoder.settings.adpcm) != Status::ok;
}

}  // namespace

std::uint64_t digestSamples(std::uint64_t digest, const std::int16_t* samples, std::size_t count) {
    // FNV-1a over whole samples: one multiply a sample, and any change of a
    // sample or of their order changes it.
    constexpr std::uint64_t prime = 0x100000001B3;
    for (std::size_t i = 0; i < count; ++i) {
        digest = (digest ^ static_cast<std::uint16_t>(samples[i])) * prime;
    }
    return digest;
}

Status planRecord(RecordEncoder& encoder, const std::int16_t* samples, std::size_t count, RecordSpan& span) {
    if (adpcmRefused(encoder)) {
        return Status::badSetting;
    }
    encoder.given += count;
    if (encoder.settings.codec == codecALaw) {
        span.planned.samples.insert(span.planned.samples.end(), samples, samples + count);
    } else {
        encoder.adpcm.settings = encoder.settings.adpcm;
        planAdpcm(encoder.adpcm, samples, count, span.planned);
    }
    return Status::ok;
}

Status finishRecordPlan(RecordEncoder& encoder, RecordSpan& span) {
    if (adpcmRefused(encoder)) {
        return Status::badSetting;
    }
    if (encoder.settings.codec == codecAdpcm) {
        encoder.adpcm.settings = encoder.settings.adpcm;
        finishAdpcmPlan(encoder.adpcm, span.planned);
    }
    return Status::ok;
}

void codeRecordSpan(const RecordSettings& settings, RecordSpan& span) {
    span.bytes.clear();
    span.decoded.clear();
    const std::vector<std::int16_t>& samples = span.planned.samples;
    if (settings.codec == codecALaw) {
        span.bytes.resize(samples.size());
        encodeALawSamples(samples.data(), samples.size(), span.bytes.data());
        span.decoded.resize(samples.size());
        decodeALawCodes(span.bytes.data(), samples.size(), span.decoded.data());
        return;
    }
    codeAdpcmBlocks(samples.data(), span.planned.blocks.data(), span.planned.blocks.size(), settings.adpcm.search,
                    span.bytes, &span.decoded);
}

Status takeRecordSpan(RecordEncoder& encoder, const RecordSpan& span, std::vector<std::uint8_t>& out,
                      std::vector<std::int16_t>* decoded) {
    startRecord(encoder, out);
    out.insert(out.end(), span.bytes.begin(), span.bytes.end());
    return account(encoder, span.planned.samples.size(), span.bytes.size(), span.decoded, decoded);
}

Status settleRecord(const RecordEncoder& encoder, std::array<std::uint8_t, recordPreambleSize>& settled) {
    const RecordSummary& summary = encoder.summary;
    if (encoder.given > maxDeclaredCount || summary.soundBytes > maxSoundBytes) {
        return Status::tooLong;
    }
    settled = recordFilePreamble(encoder.settings.codec, static_cast<std::uint32_t>(summary.samples),
                                 static_cast<std::uint32_t>(summary.soundBytes), encoder.settings.fields);
    return Status::ok;
}

Status encodeRecord(RecordEncoder& encoder, const std::int16_t* samples, std::size_t count,
                    std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    if (adpcmRefused(encoder)) {
        return Status::badSetting;
    }
    startRecord(encoder, out);
    encoder.given += count;
    const std::size_t from = out.size();
    encoder.decoded.clear();
    std::size_t coded = count;
    if (encoder.settings.codec == codecALaw) {
        out.resize(from + count);
        encodeALawSamples(samples, count, out.data() + from);
        encoder.decoded.resize(count);
        decodeALawCodes(out.data() + from, count, encoder.decoded.data());
    } else {
        encoder.adpcm.settings = encoder.settings.adpcm;
        coded = encodeAdpcm(encoder.adpcm, samples, count, out, &encoder.decoded);
    }
    return account(encoder, coded, out.size() - from, encoder.decoded, decoded);
}

Status finishRecord(RecordEncoder& encoder, std::vector<std::uint8_t>& out,
                    std::array<std::uint8_t, recordPreambleSize>& settled, std::vector<std::int16_t>* decoded) {
    if (adpcmRefused(encoder)) {
        return Status::badSetting;
    }
    startRecord(encoder, out);
    const std::size_t from = out.size();
    encoder.decoded.clear();
    std::size_t coded = 0;
    if (encoder.settings.codec == codecAdpcm) {
        encoder.adpcm.settings = encoder.settings.adpcm;
        coded = finishAdpcm(encoder.adpcm, out, &encoder.decoded);
    }
    const Status status = account(encoder, coded, out.size() - from, encoder.decoded, decoded);
    return status == Status::ok ? settleRecord(encoder, settled) : status;
}

std::size_t recordFileBound(std::size_t count, const RecordSettings& settings) {
    if (settings.codec == codecALaw) {
        return recordPreambleSize + count;
    }
    const std::size_t blocks = count / adpcmShortestBlock(settings.adpcm) + 1;
    return recordPreambleSize + count / 2 + blocks * (adpcmBlockHeaderBound + 1);
}

Status checkRecordFile(std::FILE* file, const RecordSummary& meant, std::string& detail) {
    const auto readFailed = [&detail] {
        detail = std::string("cannot read it back: ") + std::strerror(errno);
        return Status::readFailed;
    };
    const auto differs = [&detail](std::string what) {
        detail = std::move(what);
        return Status::differs;
    };
    std::rewind(file);
    SoundStream stream;
    if (parseRecordFile(file, stream) == -1) {
        if (std::ferror(file) != 0) {
            return readFailed();
        }
        detail = "the reader does not accept it";
        return Status::notAccepted;
    }
    if (stream.sampleCount != meant.samples) {
        return differs("it declares " + std::to_string(stream.sampleCount) + " samples, not " +
                       std::to_string(meant.samples));
    }
    std::array<std::int16_t, 4096> samples{};
    std::uint64_t count = 0;
    std::uint64_t digest = sampleDigestStart;
    for (std::uint32_t got = samples.size(); got == samples.size();) {
        got = stream.decode(samples.size(), samples.data(), stream);
        count += got;
        digest = digestSamples(digest, samples.data(), got);
    }
    if (std::ferror(file) != 0) {
        return readFailed();
    }
    if (count != meant.samples || digest != meant.digest) {
        return differs("it decodes to " + std::to_string(count) + " samples that are not the " +
                       std::to_string(meant.samples) + " coded");
    }
    std::array<std::uint8_t, 4> soundBytes{};
    if (!seekTo(file, recordSoundHeaderPosition + 16) ||
        std::fread(soundBytes.data(), 1, soundBytes.size(), file) != soundBytes.size() ||
        loadLe32(soundBytes.data()) != meant.soundBytes) {
        return differs("its sound header does not hold the " + std::to_string(meant.soundBytes) +
                       " bytes of coded sound");
    }
    // Nothing behind the codes that a reader might take for more sound.
    const std::uint64_t length = recordPreambleSize + meant.soundBytes;
    if (fileLength(file) != length) {
        return differs("it is not " + std::to_string(length) + " bytes long");
    }
    detail.clear();
    return Status::ok;
}

}  // namespace recwav
