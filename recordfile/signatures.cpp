// SPDX-License-Identifier: MIT
// Kept apart from the reader, so that recwav, which reads one file it is told
// to, links none of it.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>

namespace recwav {

bool looksLikeRecordFile(const std::uint8_t* head, std::size_t size) {
    if (size < recordSignatureSize) {
        return false;
    }
    for (std::size_t i = 0; i < recordSignatureSize / 4; ++i) {
        if (loadLe32(head + 4 * i) != identificationWords[i]) {
            return false;
        }
    }
    return true;
}

bool looksLikeSeries3Sound(const std::uint8_t* head, std::size_t size) {
    return size >= series3SoundMagic.size() &&
           std::equal(series3SoundMagic.begin(), series3SoundMagic.end(), head,
                      [](char expected, std::uint8_t byte) { return static_cast<std::uint8_t>(expected) == byte; });
}

}  // namespace recwav
