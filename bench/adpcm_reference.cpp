// SPDX-License-Identifier: MIT
// A reference ADPCM search, written apart from the encoder's own so that it
// measures it rather than repeats it: from every state all 16 codes; of the
// states reached, one for each step index and bin of step / 64 of the
// predictor (the cheapest), and of those the 32 cheapest of each step index;
// least squared error over a block. Slow, and only a bound of what a block
// layout allows, but one that wider searches approach.
#include "adpcm_reference.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include <recwav/decoders.hpp>

namespace {

constexpr std::size_t perIndex = 32;
constexpr std::size_t indexCount = recwav::adpcmStepSizes.size();

struct State {
    std::int64_t cost;
    std::int32_t predictor;
    std::uint8_t index;
    std::uint16_t mark;  // the parent's place among the states kept before, and the code
};

struct Bins {
    std::array<std::uint32_t, indexCount> width{};
    std::array<std::size_t, indexCount> offset{};
    std::size_t total = 0;

    Bins() {
        for (std::size_t index = 0; index < indexCount; ++index) {
            width[index] = std::max<std::uint32_t>(1, recwav::adpcmStepSizes[index] / 64);
            offset[index] = total;
            total += 65536 / width[index] + 1;
        }
    }

    [[nodiscard]] std::size_t of(std::uint8_t index, std::int32_t predictor) const {
        return offset[index] + static_cast<std::uint32_t>(predictor + 32768) / width[index];
    }
};

class Reference {
public:
    // The decoded samples of the best codes for one block from a fresh decoder.
    void block(const std::int16_t* samples, std::size_t count, std::int16_t* decoded) {
        kept_.assign(1, State{0, 0, 0, 0});
        trail_.resize(count * indexCount * perIndex);
        for (std::size_t i = 0; i < count; ++i) {
            step(samples[i], i);
        }
        std::size_t slot =
            static_cast<std::size_t>(std::min_element(kept_.begin(), kept_.end(),
                                                      [](const State& a, const State& b) { return a.cost < b.cost; }) -
                                     kept_.begin());
        std::vector<std::uint8_t> codes(count);
        for (std::size_t i = count; i-- > 0;) {
            const std::uint16_t mark = trail_[i * indexCount * perIndex + slot];
            codes[i] = mark & 0x0FU;
            slot = mark >> 4U;
        }
        recwav::AdpcmState state;
        for (std::size_t i = 0; i < count; ++i) {
            decoded[i] = recwav::decodeAdpcmCode(state, codes[i]);
        }
    }

private:
    void step(std::int32_t sample, std::size_t at) {
        if (++generation_ == 0) {
            std::fill(seen_.begin(), seen_.end(), 0);
            generation_ = 1;
        }
        tried_.clear();
        for (std::size_t parent = 0; parent < kept_.size(); ++parent) {
            const State& from = kept_[parent];
            for (unsigned code = 0; code < 16; ++code) {
                const std::size_t entry = std::size_t{from.index} * 16 + code;
                const std::int32_t predictor = recwav::clampSample(from.predictor + recwav::adpcmDifferences[entry]);
                const std::uint8_t index = recwav::adpcmNextIndices[entry];
                const std::int64_t error = predictor - sample;
                const State next{from.cost + error * error, predictor, index,
                                 static_cast<std::uint16_t>(parent << 4U | code)};
                const std::size_t bin = bins_.of(index, predictor);
                if (seen_[bin] == generation_) {
                    State& held = tried_[slot_[bin]];
                    if (next.cost < held.cost) {
                        held = next;
                    }
                } else {
                    seen_[bin] = generation_;
                    slot_[bin] = static_cast<std::uint32_t>(tried_.size());
                    tried_.push_back(next);
                }
            }
        }
        // The 32 cheapest of each step index, grouped by the index.
        std::array<std::size_t, indexCount + 1> start{};
        for (const State& state : tried_) {
            ++start[state.index + 1];
        }
        for (std::size_t index = 0; index < indexCount; ++index) {
            start[index + 1] += start[index];
        }
        grouped_.resize(tried_.size());
        std::array<std::size_t, indexCount> next{};
        std::copy(start.begin(), start.end() - 1, next.begin());
        for (const State& state : tried_) {
            grouped_[next[state.index]++] = state;
        }
        kept_.clear();
        std::uint16_t* trail = trail_.data() + at * indexCount * perIndex;
        const auto cheaper = [](const State& a, const State& b) {
            return a.cost < b.cost || (a.cost == b.cost && a.mark < b.mark);
        };
        for (std::size_t index = 0; index < indexCount; ++index) {
            const auto first = grouped_.begin() + static_cast<std::ptrdiff_t>(start[index]);
            auto last = grouped_.begin() + static_cast<std::ptrdiff_t>(start[index + 1]);
            if (last - first > static_cast<std::ptrdiff_t>(perIndex)) {
                std::nth_element(first, first + perIndex - 1, last, cheaper);
                last = first + perIndex;
            }
            for (auto state = first; state != last; ++state) {
                trail[kept_.size()] = state->mark;
                kept_.push_back(*state);
            }
        }
    }

    Bins bins_;
    std::vector<std::uint32_t> seen_ = std::vector<std::uint32_t>(bins_.total, 0);
    std::vector<std::uint32_t> slot_ = std::vector<std::uint32_t>(bins_.total, 0);
    std::uint32_t generation_ = 0;
    std::vector<State> kept_;
    std::vector<State> tried_;
    std::vector<State> grouped_;
    std::vector<std::uint16_t> trail_;
};

}  // namespace

std::vector<std::int16_t> referenceDecoded(const std::vector<std::int16_t>& samples,
                                           const std::vector<std::uint32_t>& blocks) {
    Reference reference;
    std::vector<std::int16_t> decoded(samples.size());
    std::size_t at = 0;
    for (const std::uint32_t length : blocks) {
        reference.block(samples.data() + at, length, decoded.data() + at);
        at += length;
    }
    return decoded;
}
