// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdio>

#include <recwav/decoders.hpp>

namespace recwav {

std::uint32_t decodeALaw(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream) {
    // One read fills the upper half of the caller's buffer with codes, which
    // are then expanded in place from the front: sample i overwrites only
    // bytes 2i and 2i+1, which hold codes already taken (or code i itself).
    auto* bytes = reinterpret_cast<std::uint8_t*>(buffer);
    const std::size_t got = std::fread(bytes + wanted, 1, wanted, stream.file);
    decodeALawCodes(bytes + wanted, got, buffer);
    return static_cast<std::uint32_t>(got);
}

}  // namespace recwav
