// SPDX-License-Identifier: MIT
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>

namespace recwav {

namespace {

constexpr std::size_t codeCount = 16;
constexpr std::size_t indexCount = adpcmStepSizes.size();

// The search keeps this many decoder states per sample. On speech, four gave
// 0.4 dB less and sixteen 0.3 dB more at half the speed.
constexpr std::size_t beamWidth = 8;

using Cost = std::int64_t;
constexpr Cost noCost = std::numeric_limits<Cost>::max();

// The codes in the order of the differences they add, most negative first;
// a code's place in this order is its "rank" below.
constexpr std::array<std::uint8_t, codeCount> codeOfRank = {15, 14, 13, 12, 11, 10, 9, 8, 0, 1, 2, 3, 4, 5, 6, 7};

struct RankedStep {
    std::array<std::int32_t, codeCount> difference;  // nondecreasing with the rank
    std::array<std::uint8_t, codeCount> nextIndex;
};

constexpr std::array<RankedStep, indexCount> makeRankedSteps() {
    std::array<RankedStep, indexCount> table{};
    for (std::size_t index = 0; index < indexCount; ++index) {
        for (std::size_t rank = 0; rank < codeCount; ++rank) {
            table[index].difference[rank] = adpcmDifferences[index * codeCount + codeOfRank[rank]];
            table[index].nextIndex[rank] = adpcmNextIndices[index * codeCount + codeOfRank[rank]];
        }
    }
    return table;
}

constexpr auto rankedSteps = makeRankedSteps();

// The highest rank whose difference is at most `wanted` (0 when none is):
// a count, which compilers turn into a few vector compares.
inline unsigned rankBelow(const RankedStep& step, std::int32_t wanted) {
    unsigned below = 0;
    for (std::size_t rank = 1; rank < codeCount; ++rank) {
        below += step.difference[rank] <= wanted ? 1U : 0U;
    }
    return below;
}

// The rank of the code whose decoded value is nearest to `sample`; of two as
// near, the lower. Decoded values grow with the rank even where they clamp,
// so the nearest is one of the two ranks around the sample.
inline unsigned nearestRank(const RankedStep& step, std::int32_t predictor, std::int32_t sample) {
    const unsigned rank = rankBelow(step, sample - predictor);
    if (rank + 1 == codeCount) {
        return rank;
    }
    const std::int32_t below = clampSample(predictor + step.difference[rank]);
    const std::int32_t above = clampSample(predictor + step.difference[rank + 1]);
    const std::int32_t belowError = below > sample ? below - sample : sample - below;
    const std::int32_t aboveError = above > sample ? above - sample : sample - above;
    return aboveError < belowError ? rank + 1 : rank;
}

constexpr Cost squared(std::int32_t error) {
    return static_cast<Cost>(error) * error;
}

// Nearest codes from a fresh decoder; returns their squared error, or
// stops once it passes `bound` and returns what it has then.
Cost greedyCost(const std::int16_t* samples, std::size_t count, Cost bound) {
    std::int32_t predictor = 0;
    std::uint32_t index = 0;
    Cost cost = 0;
    for (std::size_t i = 0; i < count && cost <= bound; ++i) {
        const RankedStep& step = rankedSteps[index];
        const unsigned rank = nearestRank(step, predictor, samples[i]);
        predictor = clampSample(predictor + step.difference[rank]);
        index = step.nextIndex[rank];
        cost += squared(predictor - samples[i]);
    }
    return cost;
}

void greedyCodes(const std::int16_t* samples, std::size_t count, std::uint8_t* codes) {
    std::int32_t predictor = 0;
    std::uint32_t index = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const RankedStep& step = rankedSteps[index];
        const unsigned rank = nearestRank(step, predictor, samples[i]);
        predictor = clampSample(predictor + step.difference[rank]);
        index = step.nextIndex[rank];
        codes[i] = codeOfRank[rank];
    }
}

// A decoder state as one word, for comparing states: the predictor's 16 bits
// over the step index's 8.
constexpr std::uint32_t stateKey(std::int32_t predictor, std::uint32_t index) {
    return static_cast<std::uint32_t>(predictor + 32768) << 8U | index;
}
constexpr std::uint32_t noKey = ~std::uint32_t{0};

// Codes for one block by a beam search from a fresh decoder: at each sample,
// the cheapest state so far (by squared error) tries the two codes whose
// values lie either side of the sample and every other kept state its nearest
// code, and the beamWidth cheapest distinct states go on. So the beam holds
// the best path and the best of its recent turnings: letting every state try
// both codes made twice the work and filled the beam with near copies of the
// best path, for slightly less gain. `trail` records each kept state's parent
// and code, from which the best path is read back at the end.
void searchCodes(const std::int16_t* samples, std::size_t count, std::vector<std::uint8_t>& trail,
                 std::uint8_t* codes) {
    trail.resize(count * beamWidth);
    // The kept states, cheapest first, and the next sample's being chosen.
    std::array<Cost, beamWidth> cost{};
    std::array<std::uint32_t, beamWidth> key{};
    std::array<Cost, beamWidth> nextCost{};
    std::array<std::uint32_t, beamWidth> nextKey{};
    std::array<std::uint8_t, beamWidth> nextMark{};
    key[0] = stateKey(0, 0);
    std::size_t kept = 1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t sample = samples[i];
        nextKey.fill(noKey);
        std::size_t taken = 0;
        for (std::size_t slot = 0; slot < kept; ++slot) {
            const std::int32_t from = static_cast<std::int32_t>(key[slot] >> 8U) - 32768;
            const RankedStep& step = rankedSteps[key[slot] & 0xFFU];
            unsigned first = rankBelow(step, sample - from);
            unsigned last = std::min<unsigned>(codeCount - 1, first + 1);
            if (slot > 0 && first != last) {
                // Past the cheapest state, the nearest code alone (of two as
                // near, the lower).
                const std::int32_t under = clampSample(from + step.difference[first]);
                const std::int32_t over = clampSample(from + step.difference[last]);
                first = last = over - sample < sample - under ? last : first;
            }
            for (unsigned rank = first; rank <= last; ++rank) {
                const std::int32_t predictor = clampSample(from + step.difference[rank]);
                const Cost total = cost[slot] + squared(predictor - sample);
                if (taken == beamWidth && total >= nextCost[beamWidth - 1]) {
                    continue;
                }
                const std::uint32_t state = stateKey(predictor, step.nextIndex[rank]);
                // A state already kept needs no second copy: keep the cheaper.
                unsigned same = 0;
                for (std::size_t k = 0; k < beamWidth; ++k) {
                    same |= static_cast<unsigned>(nextKey[k] == state) << k;
                }
                std::size_t at = 0;
                if (same != 0) {
                    at = static_cast<std::size_t>(std::countr_zero(same));
                    if (nextCost[at] <= total) {
                        continue;
                    }
                } else {
                    at = taken < beamWidth ? taken++ : beamWidth - 1;
                }
                // Insert in order of cost, sliding the dearer ones up over `at`.
                for (; at > 0 && nextCost[at - 1] > total; --at) {
                    nextCost[at] = nextCost[at - 1];
                    nextKey[at] = nextKey[at - 1];
                    nextMark[at] = nextMark[at - 1];
                }
                nextCost[at] = total;
                nextKey[at] = state;
                nextMark[at] = static_cast<std::uint8_t>(slot << 4U | codeOfRank[rank]);
            }
        }
        std::copy(nextMark.begin(), nextMark.end(), trail.begin() + static_cast<std::ptrdiff_t>(i * beamWidth));
        cost = nextCost;
        key = nextKey;
        kept = taken;
    }
    std::size_t slot = 0;  // the cheapest state at the end
    for (std::size_t i = count; i-- > 0;) {
        const std::uint8_t mark = trail[i * beamWidth + slot];
        codes[i] = mark & 0x0FU;
        slot = mark >> 4U;
    }
}

// How many of the first `available` pending samples the next block takes.
std::size_t chooseBlockLength(const AdpcmEncoder& encoder, std::size_t available) {
    const std::size_t maxBlock = encoder.settings.maxBlock;
    if (encoder.settings.fixedBlocks || available <= maxBlock) {
        return std::min(available, maxBlock);
    }
    // A restart's cost: the squared error of nearest codes from a fresh
    // decoder over the next samples, which is small where the sound is quiet
    // or slow. The block ends where that cost per sample of the block is
    // least, so a cheap restart is taken early only when it is cheaper by
    // more than the block is shorter: in sound with no quiet spells, blocks
    // stay long and restarts few.
    const std::int16_t* samples = encoder.pending.data();
    const auto restartCost = [&](std::size_t length, Cost bound) {
        return greedyCost(samples + length, std::min<std::size_t>(adpcmLookahead, available - length), bound);
    };
    std::size_t best = maxBlock;
    Cost bestCost = restartCost(maxBlock, noCost);
    const std::size_t shortest = adpcmShortestBlock(encoder.settings);
    // Even lengths only, so that no block leaves half a byte unused.
    for (std::size_t length = (maxBlock - 1) & ~std::size_t{1}; length >= shortest && length > 0 && bestCost > 0;
         length -= 2) {
        // Beats the best when cost / length < bestCost / best; the bound stops
        // the trial as soon as it cannot.
        const Cost scaled = bestCost * static_cast<Cost>(length);
        const Cost cost = restartCost(length, (scaled - 1) / static_cast<Cost>(best));
        if (cost * static_cast<Cost>(best) < scaled) {
            bestCost = cost;
            best = length;
        }
    }
    return best;
}

// Appends one block of the first `count` pending samples.
void encodeBlock(AdpcmEncoder& encoder, std::size_t count, std::vector<std::uint8_t>& out,
                 std::vector<std::int16_t>* decoded) {
    encoder.codes.resize(count + 1);
    std::uint8_t* codes = encoder.codes.data();
    if (encoder.settings.greedy) {
        greedyCodes(encoder.pending.data(), count, codes);
    } else {
        searchCodes(encoder.pending.data(), count, encoder.trail, codes);
    }
    codes[count] = 0;  // the unused low nibble of an odd block
    appendAdpcmBlockHeader(out, static_cast<std::uint32_t>(count));
    const std::size_t at = out.size();
    out.resize(at + (count + 1) / 2);
    for (std::size_t i = 0; i < count; i += 2) {
        out[at + i / 2] = static_cast<std::uint8_t>(codes[i] << 4U | codes[i + 1]);
    }
    if (decoded != nullptr) {
        // What the decoder itself makes of the bytes, not a copy of its rules.
        const std::size_t from = decoded->size();
        decoded->resize(from + count);
        AdpcmState state;
        decodeAdpcmCodes(out.data() + at, count, state, decoded->data() + from);
    }
    encoder.pending.erase(encoder.pending.begin(), encoder.pending.begin() + static_cast<std::ptrdiff_t>(count));
}

void checkSettings(const AdpcmSettings& settings) {
    if (settings.maxBlock < 1 || settings.maxBlock > maxAdpcmBlockLimit) {
        throw std::invalid_argument("an ADPCM block holds 1 to 1048576 samples");
    }
}

}  // namespace

std::size_t adpcmShortestBlock(const AdpcmSettings& settings) {
    return settings.fixedBlocks ? settings.maxBlock : std::max<std::size_t>(1, settings.maxBlock / 2);
}

std::size_t encodeAdpcm(AdpcmEncoder& encoder, const std::int16_t* samples, std::size_t count,
                        std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    checkSettings(encoder.settings);
    // A block is decided once the window holds it and its lookahead, and from
    // the window alone, so the bytes do not depend on the calls' sizes.
    const std::size_t window =
        encoder.settings.maxBlock + (encoder.settings.fixedBlocks ? std::size_t{0} : std::size_t{adpcmLookahead});
    std::size_t taken = 0;
    std::size_t coded = 0;
    for (;;) {
        const std::size_t more = std::min(count - taken, window - std::min(window, encoder.pending.size()));
        encoder.pending.insert(encoder.pending.end(), samples + taken, samples + taken + more);
        taken += more;
        if (encoder.pending.size() < window) {
            return coded;
        }
        const std::size_t length = chooseBlockLength(encoder, window);
        encodeBlock(encoder, length, out, decoded);
        coded += length;
    }
}

std::size_t finishAdpcm(AdpcmEncoder& encoder, std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    checkSettings(encoder.settings);
    std::size_t coded = 0;
    while (!encoder.pending.empty()) {
        const std::size_t length = chooseBlockLength(encoder, encoder.pending.size());
        encodeBlock(encoder, length, out, decoded);
        coded += length;
    }
    return coded;
}

}  // namespace recwav
