#include <array>
#include <cstddef>

#include "converter/converter.hpp"

namespace {

constexpr std::size_t wavHeaderSize = 44;

class HeaderBytes {
public:
    void tag(const char (&text)[5]) {
        for (std::size_t i = 0; i < 4; ++i) {
            bytes_[at_++] = static_cast<std::uint8_t>(text[i]);
        }
    }
    void le16(std::uint16_t value) {
        bytes_[at_++] = static_cast<std::uint8_t>(value);
        bytes_[at_++] = static_cast<std::uint8_t>(value >> 8);
    }
    void le32(std::uint32_t value) {
        le16(static_cast<std::uint16_t>(value));
        le16(static_cast<std::uint16_t>(value >> 16));
    }
    const std::array<std::uint8_t, wavHeaderSize>& bytes() const { return bytes_; }

private:
    std::array<std::uint8_t, wavHeaderSize> bytes_{};
    std::size_t at_ = 0;
};

}  // namespace

void writeWavHeader(std::FILE* output, const SoundStream& stream) {
    // Sizes come from the declared count, never from what is decoded, and wrap in 32 bits.
    const std::uint32_t dataBytes = 2U * stream.sampleCount;
    HeaderBytes header;
    header.tag("RIFF");
    header.le32(dataBytes + 36U);
    header.tag("WAVE");
    header.tag("fmt ");
    header.le32(16);     // size of the format chunk
    header.le16(1);      // PCM
    header.le16(1);      // channels
    header.le32(8000);   // samples per second
    header.le32(16000);  // bytes per second
    header.le16(2);      // bytes per sample frame
    header.le16(16);     // bits per sample
    header.tag("data");
    header.le32(dataBytes);
    std::fwrite(header.bytes().data(), 1, header.bytes().size(), output);
}
