// SPDX-License-Identifier: MIT
#include <array>
#include <cstddef>

#include <recwav/endian.hpp>
#include <recwav/wav.hpp>

namespace recwav {

namespace {

constexpr std::uint32_t formatChunkSize = 16;
constexpr std::uint16_t formatPcm = 1;
constexpr std::uint16_t frameBytes = wavChannels * wavBytesPerSample;
constexpr std::uint32_t bytesPerSecond = wavSampleRate * frameBytes;
constexpr std::uint16_t bitsPerSample = 8 * wavBytesPerSample;
// What the RIFF size counts besides the data: "WAVE", the format chunk and
// the data chunk's own header.
constexpr std::uint32_t riffOverhead = wavHeaderSize - 8;

class HeaderBytes {
public:
    void tag(const char (&text)[5]) {
        for (std::size_t i = 0; i < 4; ++i) {
            bytes_[at_++] = static_cast<std::uint8_t>(text[i]);
        }
    }
    void le16(std::uint16_t value) {
        storeLe16(bytes_.data() + at_, value);
        at_ += 2;
    }
    void le32(std::uint32_t value) {
        storeLe32(bytes_.data() + at_, value);
        at_ += 4;
    }
    const std::array<std::uint8_t, wavHeaderSize>& bytes() const { return bytes_; }

private:
    std::array<std::uint8_t, wavHeaderSize> bytes_{};
    std::size_t at_ = 0;
};

}  // namespace

Status writeWavHeader(std::FILE* output, const SoundStream& stream) {
    // Sizes come from the declared count, never from what is decoded, and wrap in 32 bits.
    const std::uint32_t dataBytes = frameBytes * stream.sampleCount;
    HeaderBytes header;
    header.tag("RIFF");
    header.le32(dataBytes + riffOverhead);
    header.tag("WAVE");
    header.tag("fmt ");
    header.le32(formatChunkSize);
    header.le16(formatPcm);
    header.le16(wavChannels);
    header.le32(wavSampleRate);
    header.le32(bytesPerSecond);
    header.le16(frameBytes);
    header.le16(bitsPerSample);
    header.tag("data");
    header.le32(dataBytes);
    return std::fwrite(header.bytes().data(), 1, header.bytes().size(), output) == header.bytes().size()
               ? Status::ok
               : Status::writeFailed;
}

}  // namespace recwav
