// SPDX-License-Identifier: MIT
#include "adpcmsearch.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>

namespace recwav::detail {

namespace {

constexpr std::size_t codeCount = 16;
constexpr std::size_t indexCount = adpcmStepSizes.size();

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

// The highest rank whose difference is at most `wanted` (0 when none is).
// The differences are plus and minus eight magnitudes in order, so a count
// of the magnitudes up to |wanted|, by halving, places it: above the seven
// lowest ranks when `wanted` is not negative, below them otherwise.
inline unsigned rankBelow(const RankedStep& step, std::int32_t wanted) {
    // For a negative `wanted`, the magnitudes under -wanted: those at most ~wanted.
    const std::int32_t limit = wanted >= 0 ? wanted : ~wanted;
    const std::int32_t* magnitudes = step.difference.data() + codeCount / 2;
    unsigned within = magnitudes[3] <= limit ? 4U : 0U;
    within += magnitudes[within + 1] <= limit ? 2U : 0U;
    within += magnitudes[within] <= limit ? 1U : 0U;
    within += magnitudes[within] <= limit ? 1U : 0U;
    // Without a branch, which the sign of speech's differences would mislead:
    // 7 + within, or for a negative `wanted` 7 - within (and rank 0, which
    // takes the largest magnitude whether or not it is within).
    const unsigned negative = wanted < 0 ? ~0U : 0U;
    const unsigned largest = within == codeCount / 2 ? 1U : 0U;
    return 7 + ((within ^ negative) - negative) + (largest & negative);
}

constexpr Cost squared(std::int32_t error) {
    return static_cast<Cost>(error) * error;
}

// One nearest code: takes the decoder in (predictor, index) on by the code
// whose decoded value is nearest to `sample` (of two as near, the lower), and
// returns the code's rank. Decoded values grow with the rank even where they
// clamp, so the nearest is one of the two ranks around the sample; which of
// them is a coin toss on speech, so it is chosen without a branch.
inline unsigned nearestStep(std::int32_t& predictor, std::uint32_t& index, std::int32_t sample) {
    const RankedStep& step = rankedSteps[index];
    const unsigned rank = rankBelow(step, sample - predictor);
    const unsigned top = rank + 1 == codeCount ? 1U : 0U;  // no rank above it
    const std::int32_t below = clampSample(predictor + step.difference[rank]);
    const std::int32_t above = clampSample(predictor + step.difference[rank + 1 - top]);
    const unsigned up = (above - sample < sample - below ? 1U : 0U) & (1U - top);
    predictor = below + ((above - below) & -static_cast<std::int32_t>(up));
    index = step.nextIndex[rank + up];
    return rank + up;
}

Cost nearestCodes(const std::int16_t* samples, std::size_t count, AdpcmState& state, std::uint8_t* codes) {
    std::int32_t predictor = state.predictor;
    std::uint32_t index = state.stepIndex;
    Cost cost = 0;
    for (std::size_t i = 0; i < count; ++i) {
        codes[i] = codeOfRank[nearestStep(predictor, index, samples[i])];
        cost += squared(predictor - samples[i]);
    }
    state = {predictor, index};
    return cost;
}

// ---- The narrow search: the default of release 1.0 ----

constexpr std::size_t narrowWidth = 8;

// A decoder state as one word, for comparing states: the predictor's 16 bits
// over the step index's 8.
constexpr std::uint32_t stateKey(std::int32_t predictor, std::uint32_t index) {
    return static_cast<std::uint32_t>(predictor + 32768) << 8U | index;
}
constexpr std::uint32_t noKey = ~std::uint32_t{0};

// A beam of 8 states: at each sample the cheapest state so far tries the two
// codes whose values lie either side of the sample and every other kept state
// its nearest code, and the 8 cheapest distinct states go on. `trail` records
// each kept state's parent and code, from which the best path is read back.
Cost narrowCodes(const std::int16_t* samples, std::size_t count, AdpcmState& state, std::uint8_t* codes,
                 AdpcmScratch& scratch) {
    std::vector<std::uint16_t>& trail = scratch.trail;
    trail.resize(count * narrowWidth);
    // The kept states, cheapest first, and the next sample's being chosen.
    std::array<Cost, narrowWidth> cost{};
    std::array<std::uint32_t, narrowWidth> key{};
    std::array<Cost, narrowWidth> nextCost{};
    std::array<std::uint32_t, narrowWidth> nextKey{};
    std::array<std::uint8_t, narrowWidth> nextMark{};
    key[0] = stateKey(state.predictor, state.stepIndex);
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
                const std::int32_t under = clampSample(from + step.difference[first]);
                const std::int32_t over = clampSample(from + step.difference[last]);
                first = last = over - sample < sample - under ? last : first;
            }
            for (unsigned rank = first; rank <= last; ++rank) {
                const std::int32_t predictor = clampSample(from + step.difference[rank]);
                const Cost total = cost[slot] + squared(predictor - sample);
                if (taken == narrowWidth && total >= nextCost[narrowWidth - 1]) {
                    continue;
                }
                const std::uint32_t next = stateKey(predictor, step.nextIndex[rank]);
                // A state already kept needs no second copy: keep the cheaper.
                unsigned same = 0;
                for (std::size_t k = 0; k < narrowWidth; ++k) {
                    same |= static_cast<unsigned>(nextKey[k] == next) << k;
                }
                std::size_t at = 0;
                if (same != 0) {
                    at = static_cast<std::size_t>(std::countr_zero(same));
                    if (nextCost[at] <= total) {
                        continue;
                    }
                } else {
                    at = taken < narrowWidth ? taken++ : narrowWidth - 1;
                }
                // Insert in order of cost, sliding the dearer ones up over `at`.
                for (; at > 0 && nextCost[at - 1] > total; --at) {
                    nextCost[at] = nextCost[at - 1];
                    nextKey[at] = nextKey[at - 1];
                    nextMark[at] = nextMark[at - 1];
                }
                nextCost[at] = total;
                nextKey[at] = next;
                nextMark[at] = static_cast<std::uint8_t>(slot << 4U | codeOfRank[rank]);
            }
        }
        std::copy(nextMark.begin(), nextMark.end(), trail.begin() + static_cast<std::ptrdiff_t>(i * narrowWidth));
        cost = nextCost;
        key = nextKey;
        kept = taken;
    }
    if (count > 0) {
        state = {static_cast<std::int32_t>(key[0] >> 8U) - 32768, key[0] & 0xFFU};
    }
    std::size_t slot = 0;  // the cheapest state at the end
    for (std::size_t i = count; i-- > 0;) {
        const std::uint16_t mark = trail[i * narrowWidth + slot];
        codes[i] = mark & 0x0FU;
        slot = mark >> 4U;
    }
    return cost[0];
}

// ---- The wide searches ----

// Which codes each kept state tries.
enum class Tries : std::uint8_t {
    // The two codes whose values lie either side of the sample; the cheapest
    // state also the next code beyond each (up to overshootIndex).
    either,
    // Those two, and every state the codes that raise the step, each in the
    // direction of the sample.
    eitherAndSteps,
    every,  // all 16
};

// Step indices up to this count as near silence (steps of at most 16).
constexpr unsigned quietIndex = 8;

// Up to this step index (steps of at most 658, as in speech; not loud noise,
// where it buys nothing), the default's cheapest state tries two codes more.
constexpr unsigned overshootIndex = 56;

struct Shape {
    std::size_t states;  // kept per sample
    Tries tries;
    // Two states are one when they share the step index and their predictors
    // the same bin, of 2 to the power (the step's highest bit - mergeBelow).
    int mergeBelow;
    int leastShift;  // and bins of at least 2 to this power
    // Whether every sample keeps, beside the `states` cheapest, the cheapest
    // of each step index (one side only): through a sound with much high in
    // it, a state whose step stays large pays later. The widest only: where
    // fewer codes are tried, the ladder before onsets (below) does as well.
    bool ladder;
    // Kept before an onset, at most 4096 (a trail entry holds the parent in
    // 12 bits): where the sound ahead moves far beyond the step, or faster
    // than it can follow, every state also tries the codes that raise the
    // step, and a wider beam keeps those that rise, the cheapest of each
    // step index at or above the sample and below it, so that one is ready
    // when the onset comes, from whichever side it is best met. (The
    // widest's ladder, one-sided, needs one state per step index.)
    std::size_t onsetStates;
};

constexpr Shape shapeOf(AdpcmSearch search) {
    switch (search) {
        case AdpcmSearch::best:
            return {128, Tries::eitherAndSteps, 4, 2, false, 128 + 2 * indexCount};
        case AdpcmSearch::widest:
            return {1024, Tries::every, 6, 2, true, 1024 + indexCount};
        default:
            return {18, Tries::either, 0, 3, false, 18 + 2 * indexCount};
    }
}

// Where in the table of bins each step index's bins start, and the shift
// that takes a predictor to its bin.
struct Bins {
    std::array<std::uint8_t, indexCount> shift;
    std::array<std::uint32_t, indexCount> offset;
    std::size_t size;
};

constexpr Bins binsOf(const Shape& shape) {
    Bins bins{};
    for (std::size_t index = 0; index < indexCount; ++index) {
        const int highest = static_cast<int>(std::bit_width(static_cast<unsigned>(adpcmStepSizes[index]))) - 1;
        bins.shift[index] = static_cast<std::uint8_t>(std::clamp(highest - shape.mergeBelow, shape.leastShift, 15));
        bins.offset[index] = static_cast<std::uint32_t>(bins.size);
        bins.size += std::size_t{1} << (16U - bins.shift[index]);
    }
    return bins;
}

// An onset is near when within onsetLookahead samples the sound moves from
// the cheapest state's predictor by more than onsetSteps of its step (twice
// as many above step index loudIndex, where the step is large and speech
// often moves as far), or when one of the next two samples differs from the
// one after it by more than jumpSteps of that step: more than the largest
// code can follow, as at a plucked note or a sharp pulse of voice.
constexpr std::size_t onsetLookahead = 16;
constexpr std::int32_t onsetSteps = 16;
constexpr unsigned loudIndex = 40;
constexpr std::int32_t jumpSteps = 3;

// Where the sound ahead stays this near silence (some -54 dBFS) and the
// cheapest state's step is near its least, the states differ in little that
// matters: the default keeps only stillStates of them, as through the
// pauses of speech; on the test sounds it costs under 0.01 dB.
constexpr std::int16_t stillPeak = 64;
constexpr std::size_t stillStates = 4;

// The trail of this many samples is held at once; a longer block is searched
// again from states saved at each such step, a part at a time, to read its
// path back in bounded memory.
constexpr std::size_t segmentLength = 2048;

// One search's beam. The states are kept as parallel arrays in the scratch:
// the first `width` entries the states kept, the rest those tried.
template <AdpcmSearch search>
class WideSearch {
public:
    static constexpr Shape shape = shapeOf(search);
    static constexpr std::size_t width = shape.onsetStates;  // the most states kept
    static_assert(width <= 4096);
    static constexpr std::size_t triesEach = shape.tries == Tries::every ? codeCount : 6;
    // The most states tried at a sample: the cheapest may try two codes more.
    static constexpr std::size_t mostTried = width * triesEach + 2;
    static constexpr Bins bins = binsOf(shape);
    static_assert(bins.size < (std::size_t{1} << 20U));
    // For each step index and rank, the step index the code leads to and
    // where its bins are, in one word: the bins' offset over the index
    // (8 bits) over the bins' shift (4).
    static constexpr std::array<std::array<std::uint32_t, codeCount>, indexCount> nextBins = [] {
        std::array<std::array<std::uint32_t, codeCount>, indexCount> table{};
        for (std::size_t index = 0; index < indexCount; ++index) {
            for (std::size_t rank = 0; rank < codeCount; ++rank) {
                const std::uint8_t next = rankedSteps[index].nextIndex[rank];
                table[index][rank] = bins.offset[next] << 12U | std::uint32_t{next} << 4U | bins.shift[next];
            }
        }
        return table;
    }();
    // The states tried, and past them a slot for what is not kept (and a
    // cost of noCost).
    static constexpr std::size_t triedRoom = mostTried + 1;

    explicit WideSearch(AdpcmScratch& scratch) : s_(scratch) {
        s_.costs.resize(width + 1);
        s_.predictors.resize(width + 1);
        s_.stepIndices.resize(width + 1);
        s_.triedCosts.resize(triedRoom + 1);
        s_.triedCosts[triedRoom] = noCost;  // never written after
        s_.tried.resize(triedRoom);
        s_.order.resize(2 * mostTried);
        s_.seen.resize(bins.size);
        costs_ = s_.costs.data();
        predictors_ = s_.predictors.data();
        indices_ = s_.stepIndices.data();
        triedCosts_ = s_.triedCosts.data();
        tried_ = s_.tried.data();
        seen_ = s_.seen.data();
    }

    // Starts from one state.
    void begin(const AdpcmState& state) {
        costs_[0] = 0;
        predictors_[0] = state.predictor;
        indices_[0] = static_cast<std::uint8_t>(state.stepIndex);
        kept_ = 1;
        cheapest_ = 0;
    }

    // Before a block: the highest and lowest of each sample and the few
    // after it, and the larger of the changes from it and from the next to
    // the sample after, where an onset is looked for.
    void look(const std::int16_t* samples, std::size_t count) {
        if constexpr (shape.tries != Tries::every) {
            s_.highs.assign(samples, samples + count);
            s_.lows.assign(samples, samples + count);
            std::int16_t* __restrict highs = s_.highs.data();
            std::int16_t* __restrict lows = s_.lows.data();
            for (std::size_t after = 1; after < onsetLookahead && after < count; ++after) {
                for (std::size_t i = 0; i + after < count; ++i) {
                    highs[i] = std::max(highs[i], samples[i + after]);
                    lows[i] = std::min(lows[i], samples[i + after]);
                }
            }
            s_.jumps.assign(count, 0);
            std::int32_t* __restrict jumps = s_.jumps.data();
            for (std::size_t i = 0; i + 1 < count; ++i) {
                jumps[i] = std::abs(samples[i + 1] - samples[i]);
            }
            for (std::size_t i = 0; i + 1 < count; ++i) {
                jumps[i] = std::max(jumps[i], jumps[i + 1]);  // the next change, not yet widened
            }
            samples_ = samples;
        }
    }

    // Takes the beam one sample on, to the sample at `ahead` (in the block
    // look() saw), writing each kept state's parent and code to `marks`.
    void step(const std::int16_t* ahead, std::uint16_t* marks) {
        // A bin's entry: the sample's generation (16 bits) over the slot of
        // the state tried there (16).
        if (++s_.generation == 0x10000U) {
            std::fill(s_.seen.begin(), s_.seen.end(), 0);
            s_.generation = 1;
        }
        const std::uint32_t stamp = s_.generation << 16U;
        Cost* __restrict costs = costs_;
        std::int32_t* __restrict predictors = predictors_;
        std::uint8_t* __restrict indices = indices_;
        Cost* __restrict triedCosts = triedCosts_;
        AdpcmScratch::Tried* __restrict triedStates = tried_;
        std::uint32_t* __restrict seen = seen_;
        std::size_t tried = 0;
        const std::int32_t sample = ahead[0];
        // Without branches, which the merging would mislead half the time:
        // a state tried before in the same bin stays unless this one is
        // cheaper, and what is not kept goes to the slot past them all. A
        // mark holds the parent's slot over the code's rank.
        const auto tryRank = [&](const RankedStep& step, const std::uint32_t* next, std::int32_t from, Cost base,
                                 unsigned slotMark, unsigned rank) {
            const std::int32_t predictor = clampSample(from + step.difference[rank]);
            const Cost cost = base + squared(predictor - sample);
            const std::uint32_t to = next[rank];
            const std::size_t bin = (to >> 12U) + (static_cast<std::uint32_t>(predictor + 32768) >> (to & 0xFU));
            const std::uint32_t entry = seen[bin];
            // As masks, which the compiler leaves as they are.
            const std::size_t fresh = std::size_t{0} - static_cast<std::size_t>((entry & 0xFFFF0000U) != stamp);
            const std::size_t at = (tried & fresh) | (entry & 0xFFFFU & ~fresh);
            const std::size_t cheaper = (std::size_t{0} - static_cast<std::size_t>(cost < triedCosts[at])) | fresh;
            const std::size_t into = (at & cheaper) | ((triedRoom - 1) & ~cheaper);
            seen[bin] = stamp | static_cast<std::uint32_t>(at);
            tried -= fresh;
            triedCosts[into] = cost;
            triedStates[into].predictor = predictor;
            triedStates[into].mark = static_cast<std::uint16_t>(slotMark | rank);
            triedStates[into].stepIndex = static_cast<std::uint8_t>(to >> 4U);
        };
        const std::size_t cheapestSlot = shape.tries != Tries::every ? cheapest_ : kept_;
        const bool near = shape.tries != Tries::every && cheapestSlot < kept_ && onsetNear(ahead, cheapestSlot);
        const bool onset = shape.ladder || near;
        for (std::size_t slot = 0; slot < kept_; ++slot) {
            const std::int32_t from = predictors[slot];
            const RankedStep& step = rankedSteps[indices[slot]];
            const std::uint32_t* next = nextBins[indices[slot]].data();
            const auto slotMark = static_cast<unsigned>(slot << 4U);
            const Cost cost = costs[slot];
            if constexpr (shape.tries == Tries::every) {
                for (unsigned rank = 0; rank < codeCount; ++rank) {
                    tryRank(step, next, from, cost, slotMark, rank);
                }
            } else {
                const unsigned below = rankBelow(step, sample - from);
                tryRank(step, next, from, cost, slotMark, below);
                if (below + 1 < codeCount) {
                    tryRank(step, next, from, cost, slotMark, below + 1);
                }
                // The cheapest state also the codes just beyond those, below
                // loud steps: where the sound turns, the path that overshoots
                // can be the one that follows.
                const bool beyond =
                    shape.tries == Tries::either && slot == cheapestSlot && indices[slot] <= overshootIndex;
                if (beyond) {
                    if (below > 0) {
                        tryRank(step, next, from, cost, slotMark, below - 1);
                    }
                    if (below + 2 < codeCount) {
                        tryRank(step, next, from, cost, slotMark, below + 2);
                    }
                }
                // Where the codes past the sample clamp at full scale, those
                // that raise the step cost no more: a clipped stretch can end
                // with the step ready for the fall after it.
                const bool clampsUp = below + 1 < codeCount && from + step.difference[below + 1] >= 32767;
                const bool clampsDown = from + step.difference[below] <= -32768;
                if (shape.tries == Tries::eitherAndSteps || clampsUp || clampsDown || onset) {
                    // The codes that raise the step (4 to 7, 12 to 15) are
                    // ranks 12 to 15 up, 3 to 0 down. A code tried already
                    // is tried again rather than looked for: it meets
                    // itself in its bin, no cheaper, and goes.
                    const bool up = clampsUp | (!clampsDown & (sample >= from));
                    const unsigned down = up ? 0U : 15U;
                    for (unsigned raise = 12; raise < codeCount; ++raise) {
                        tryRank(step, next, from, cost, slotMark, raise ^ down);
                    }
                }
            }
        }
        // Keep the `states` cheapest; of those as dear as the last kept, the
        // first tried, so that the choice does not rest on the order in
        // which a selection leaves them.
        std::size_t states = shape.states;
        if constexpr (shape.tries == Tries::either) {
            const auto at = static_cast<std::size_t>(ahead - samples_);
            if (s_.highs[at] <= stillPeak && s_.lows[at] >= -stillPeak && indices[cheapestSlot] <= quietIndex) {
                states = stillStates;
            }
        }
        Cost limit = noCost;
        std::size_t asDear = states;  // how many as dear as `limit` may go on
        if (tried > states) {
            limit = keptLimit(triedCosts, tried, states);
            std::size_t below = 0;
            for (std::size_t j = 0; j < tried; ++j) {
                below += triedCosts[j] < limit ? 1U : 0U;
            }
            asDear = states - below;
        }
        // Before an onset, also the cheapest of each step index, at or above
        // the sample and below it: a ladder of states whose steps rise.
        const auto rungOf = [&](const AdpcmScratch::Tried& state) {
            return 2U * state.stepIndex + (near && state.predictor >= sample ? 1U : 0U);
        };
        std::array<std::uint16_t, 2 * indexCount> cheapestOf;
        if (onset) {
            // At first each holds the slot whose cost is noCost.
            cheapestOf.fill(static_cast<std::uint16_t>(triedRoom));
            for (std::size_t j = 0; j < tried; ++j) {
                std::uint16_t& held = cheapestOf[rungOf(triedStates[j])];
                const auto cheaper = static_cast<std::uint16_t>(0U - (triedCosts[j] < triedCosts[held] ? 1U : 0U));
                held = static_cast<std::uint16_t>((j & cheaper) | (held & ~cheaper));
            }
        }
        std::size_t next = 0;
        std::size_t cheapest = 0;
        Cost cheapestCost = noCost;
        // Without branches too: every state is written at `next`, which
        // moves on past those kept (the arrays and `marks` have a slot to
        // spare for the last).
        for (std::size_t j = 0; j < tried; ++j) {
            const Cost cost = triedCosts[j];
            const bool rung = onset && cheapestOf[rungOf(triedStates[j])] == j;
            const bool tie = !rung && cost == limit && asDear != 0;
            const std::size_t keep = rung || cost < limit || tie ? 1U : 0U;
            asDear -= tie ? 1U : 0U;
            const std::size_t cheaper = std::size_t{0} - (keep & static_cast<std::size_t>(cost < cheapestCost));
            cheapest = (next & cheaper) | (cheapest & ~cheaper);
            cheapestCost = cheaper != 0 ? cost : cheapestCost;
            costs[next] = cost;
            predictors[next] = triedStates[j].predictor;
            indices[next] = triedStates[j].stepIndex;
            marks[next] = triedStates[j].mark;
            next += keep;
        }
        kept_ = next;
        cheapest_ = cheapest;
    }

    [[nodiscard]] std::size_t kept() const { return kept_; }

    void save(AdpcmScratch::Saved* saved) const {
        for (std::size_t slot = 0; slot < kept_; ++slot) {
            saved[slot] = {costs_[slot], predictors_[slot], indices_[slot]};
        }
    }

    void restore(const AdpcmScratch::Saved* saved, std::size_t kept) {
        for (std::size_t slot = 0; slot < kept; ++slot) {
            costs_[slot] = saved[slot].cost;
            predictors_[slot] = saved[slot].predictor;
            indices_[slot] = saved[slot].stepIndex;
        }
        kept_ = kept;
        cheapest_ = static_cast<std::size_t>(std::min_element(costs_, costs_ + kept_) - costs_);
    }

    // The cheapest kept state, the first of those as cheap.
    [[nodiscard]] std::size_t cheapest() const { return cheapest_; }

private:
    // Whether the sound ahead moves far beyond the step, or faster than it
    // can follow.
    [[nodiscard]] bool onsetNear(const std::int16_t* ahead, std::size_t slot) const {
        const unsigned index = indices_[slot];
        const std::int32_t step = adpcmStepSizes[index];
        const auto at = static_cast<std::size_t>(ahead - samples_);
        if (s_.jumps[at] > jumpSteps * step) {
            return true;
        }
        const std::int32_t reach = (index > loudIndex ? 2 * onsetSteps : onsetSteps) * step;
        const std::int32_t from = predictors_[slot];
        return s_.highs[at] - from > reach || from - s_.lows[at] > reach;
    }

    // The cost of the last state kept: the states-th least of those tried.
    Cost keptLimit(const Cost* tried, std::size_t count, std::size_t states) {
        const std::size_t spare = count - states;
        if (spare >= fewSpare) {
            Cost* order = s_.order.data();
            std::copy(tried, tried + count, order);
            return leastCost(order, order + mostTried, count, states - 1);
        }
        // Only a few too many, as is usual in the narrower searches: the
        // spare + 1 dearest, in order, found in one pass.
        std::array<Cost, fewSpare> dearest{};
        std::size_t held = 0;
        for (std::size_t j = 0; j < count; ++j) {
            const Cost cost = tried[j];
            if (held == spare + 1 && cost <= dearest[held - 1]) {
                continue;
            }
            std::size_t at = held < spare + 1 ? held++ : held - 1;
            for (; at > 0 && dearest[at - 1] < cost; --at) {
                dearest[at] = dearest[at - 1];
            }
            dearest[at] = cost;
        }
        return dearest[spare];
    }

    static constexpr std::size_t fewSpare = 8;

    AdpcmScratch& s_;
    Cost* costs_ = nullptr;
    std::int32_t* predictors_ = nullptr;
    std::uint8_t* indices_ = nullptr;
    Cost* triedCosts_ = nullptr;
    AdpcmScratch::Tried* tried_ = nullptr;
    std::uint32_t* seen_ = nullptr;
    const std::int16_t* samples_ = nullptr;  // the block's, where look() saw them
    std::size_t kept_ = 0;
    std::size_t cheapest_ = 0;
};

template <AdpcmSearch search>
Cost wideCodes(const std::int16_t* samples, std::size_t count, AdpcmState& state, std::uint8_t* codes,
               AdpcmScratch& scratch) {
    if (count == 0) {
        return 0;
    }
    using Search = WideSearch<search>;
    Search beam(scratch);
    constexpr std::size_t width = Search::width;
    const std::size_t parts = (count + segmentLength - 1) / segmentLength;
    scratch.trail.resize(std::min(count, segmentLength) * width + 1);
    scratch.saved.resize((parts - 1) * width);
    scratch.savedKept.resize(parts - 1);
    const auto run = [&](std::size_t part) {
        const std::size_t from = part * segmentLength;
        const std::size_t to = std::min(count, from + segmentLength);
        for (std::size_t i = from; i < to; ++i) {
            beam.step(samples + i, scratch.trail.data() + (i - from) * width);
        }
    };
    beam.begin(state);
    beam.look(samples, count);
    for (std::size_t part = 0; part < parts; ++part) {
        if (part + 1 < parts) {
            scratch.savedKept[part] = beam.kept();
            beam.save(scratch.saved.data() + part * width);
        }
        run(part);
    }
    std::size_t slot = beam.cheapest();
    const Cost total = scratch.costs[slot];
    state = {scratch.predictors[slot], scratch.stepIndices[slot]};
    for (std::size_t part = parts; part-- > 0;) {
        if (part + 1 < parts) {
            beam.restore(scratch.saved.data() + part * width, scratch.savedKept[part]);
            run(part);
        }
        const std::size_t from = part * segmentLength;
        for (std::size_t i = std::min(count, from + segmentLength); i-- > from;) {
            const std::uint16_t mark = scratch.trail[(i - from) * width + slot];
            codes[i] = codeOfRank[mark & 0x0FU];
            slot = mark >> 4U;
        }
    }
    return total;
}

}  // namespace

// By partitions without the branches that nth_element's mislead: a pivot
// near where the k-th lies, from a few of the costs spread over them; those
// under it to the front, those over it to `spare`, and on in the side that
// holds it.
Cost leastCost(Cost* costs, Cost* spare, std::size_t count, std::size_t k) {
    constexpr std::size_t few = 15;
    while (count > 4 * few) {
        std::array<Cost, few> spread{};
        for (std::size_t i = 0; i < few; ++i) {
            spread[i] = costs[(2 * i + 1) * count / (2 * few)];
        }
        // Just above the k-th, so that the side under it is the short one.
        const std::size_t at = std::min(few - 1, k * few / count + 1);
        std::nth_element(spread.begin(), spread.begin() + static_cast<std::ptrdiff_t>(at), spread.end());
        const Cost pivot = spread[at];
        std::size_t under = 0;
        std::size_t above = 0;
        for (std::size_t j = 0; j < count; ++j) {
            const Cost cost = costs[j];
            costs[under] = cost;
            spare[above] = cost;
            // The signs of the differences (costs are far from the
            // limits of their type), which no compiler makes a branch.
            under += static_cast<std::uint64_t>(cost - pivot) >> 63U;
            above += static_cast<std::uint64_t>(pivot - cost) >> 63U;
        }
        const std::size_t equal = count - under - above;
        if (k < under) {
            count = under;
        } else if (k < under + equal) {
            return pivot;
        } else {
            k -= under + equal;
            std::copy(spare, spare + above, costs);
            count = above;
        }
    }
    std::nth_element(costs, costs + k, costs + count);
    return costs[k];
}

Cost freshNearestCost(const std::int16_t* samples, std::size_t count, Cost bound) {
    std::int32_t predictor = 0;
    std::uint32_t index = 0;
    Cost cost = 0;
    for (std::size_t i = 0; i < count && cost <= bound; ++i) {
        nearestStep(predictor, index, samples[i]);
        cost += squared(predictor - samples[i]);
    }
    return cost;
}

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
// Where the processor has AVX2, eight fresh decoders run side by side as the
// lanes of vectors, twice as fast as four by table: the nearest code is
// worked out from the step size alone, as the decoder makes its differences.
// The greatest magnitude within the sample is found by taking the step's
// parts greedily, each larger than those after it together. (Not on Windows,
// where GCC does not align the stack for the vectors it keeps there.)
constexpr std::size_t wideLanes = 8;
using Lanes = std::int32_t __attribute__((vector_size(wideLanes * sizeof(std::int32_t))));
using LaneWords = std::uint32_t __attribute__((vector_size(wideLanes * sizeof(std::uint32_t))));
using LaneCosts = std::uint64_t __attribute__((vector_size(wideLanes * sizeof(std::uint64_t))));

// The difference of each lane's rank, for its step size.
[[gnu::always_inline, gnu::target("avx2")]] inline void differencesOf(const Lanes& size, const Lanes& rank,
                                                                      Lanes& difference) {
    const Lanes negative = (rank - 8) >> 31;  // -1 below rank 8
    const Lanes magnitude = (rank - 8) ^ negative;
    const Lanes value = (size >> 3) + (size & -(magnitude >> 2 & 1)) + ((size >> 1) & -(magnitude >> 1 & 1)) +
                        ((size >> 2) & -(magnitude & 1));
    difference = (value ^ negative) - negative;
}

// restartCosts' eight from `at` on, `step` apart, each to costs[lane * step].
[[gnu::target("avx2")]] void restartLanes(const std::int16_t* at, std::size_t step, std::size_t length,
                                          std::int64_t* costs) {
    const Lanes least = Lanes{} - 32768;
    const Lanes most = Lanes{} + 32767;
    const Lanes highest = Lanes{} + static_cast<std::int32_t>(adpcmMaxStepIndex);
    Lanes predictor{};
    Lanes index{};
    LaneCosts cost{};
    for (std::size_t i = 0; i < length; ++i) {
        Lanes sample;
        Lanes size;
        for (std::size_t lane = 0; lane < wideLanes; ++lane) {
            sample[lane] = at[lane * step + i];
            size[lane] = adpcmStepSizes[static_cast<std::size_t>(index[lane])];
        }
        // rankBelow's rank: for a negative `wanted`, the magnitudes under
        // -wanted, those at most ~wanted.
        const Lanes wanted = sample - predictor;
        const Lanes negative = wanted >> 31;
        Lanes left = (wanted ^ negative) - (size >> 3);
        const Lanes any = ~(left >> 31);  // -1 where the least magnitude is within
        const Lanes four = left >= size;  // -1 or 0
        left -= size & four;
        const Lanes two = left >= (size >> 1);
        left -= (size >> 1) & two;
        const Lanes one = left >= (size >> 2);
        const Lanes within = (1 - 4 * four - 2 * two - one) & any;
        const Lanes rank = 7 + ((within ^ negative) - negative) + ((within == 8) & negative & 1);
        // The nearer of it and the rank above (none above rank 15).
        const Lanes top = rank == 15;
        Lanes difference;
        differencesOf(size, rank, difference);
        Lanes below = predictor + difference;
        differencesOf(size, rank + 1 + top, difference);
        Lanes above = predictor + difference;
        below = below < least ? least : below > most ? most : below;
        above = above < least ? least : above > most ? most : above;
        const Lanes up = (above - sample < sample - below) & ~top;
        predictor = below + ((above - below) & up);
        const Lanes chosen = rank - up;
        const Lanes magnitude = chosen >= 8 ? chosen - 8 : 7 - chosen;
        const Lanes next = index + (magnitude < 4 ? Lanes{} - 1 : 2 * magnitude - 6);
        index = next < 0 ? Lanes{} : next > highest ? highest : next;
        const LaneWords error = __builtin_convertvector(predictor - sample, LaneWords);
        cost += __builtin_convertvector(error * error, LaneCosts);
    }
    for (std::size_t lane = 0; lane < wideLanes; ++lane) {
        costs[lane * step] = static_cast<Cost>(cost[lane]);
    }
}

bool wideLanesRun() {
    static const bool run = [] {
        __builtin_cpu_init();  // it may not have run yet, while statics are made
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return run;
}
#define RECWAV_WIDE_LANES 1
#endif

}  // namespace

void restartCosts(const std::int16_t* samples, std::size_t available, std::size_t from, std::size_t step,
                  std::size_t count, std::size_t length, std::int64_t* costs) {
    // Each trial waits on its own previous code, so several side by side
    // keep the processor busy: eight where they run as vectors, else four.
    const auto fits = [&](std::size_t done, std::size_t lanes) {
        return done + lanes <= count && from + (done + lanes - 1) * step + length <= available;
    };
    std::size_t done = 0;
#ifdef RECWAV_WIDE_LANES
    if (wideLanesRun()) {
        for (; fits(done, wideLanes); done += wideLanes) {
            restartLanes(samples + from + done * step, step, length, costs + from + done * step);
        }
    }
#endif
    constexpr std::size_t lanes = 4;
    for (; fits(done, lanes); done += lanes) {
        std::array<std::int32_t, lanes> predictor{};
        std::array<std::uint32_t, lanes> index{};
        std::array<Cost, lanes> cost{};
        const std::int16_t* at = samples + from + done * step;
        for (std::size_t i = 0; i < length; ++i) {
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                const std::int32_t sample = at[lane * step + i];
                nearestStep(predictor[lane], index[lane], sample);
                cost[lane] += squared(predictor[lane] - sample);
            }
        }
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            costs[from + (done + lane) * step] = cost[lane];
        }
    }
    for (; done < count; ++done) {
        const std::size_t at = from + done * step;
        costs[at] = freshNearestCost(samples + at, std::min(length, available - at), noCost);
    }
}

std::uint64_t searchAdpcmCodes(const std::int16_t* samples, std::size_t count, AdpcmState& state, AdpcmSearch search,
                               std::uint8_t* codes, AdpcmScratch& scratch) {
    Cost cost = 0;
    switch (search) {
        case AdpcmSearch::nearest:
            cost = nearestCodes(samples, count, state, codes);
            break;
        case AdpcmSearch::narrow:
            cost = narrowCodes(samples, count, state, codes, scratch);
            break;
        case AdpcmSearch::best:
            cost = wideCodes<AdpcmSearch::best>(samples, count, state, codes, scratch);
            break;
        case AdpcmSearch::widest:
            cost = wideCodes<AdpcmSearch::widest>(samples, count, state, codes, scratch);
            break;
        default:
            cost = wideCodes<AdpcmSearch::standard>(samples, count, state, codes, scratch);
            break;
    }
    return static_cast<std::uint64_t>(cost);
}

}  // namespace recwav::detail

namespace recwav {

std::uint64_t searchAdpcmCodes(const std::int16_t* samples, std::size_t count, AdpcmState& state, AdpcmSearch search,
                               std::uint8_t* codes) {
    detail::AdpcmScratch scratch;
    return detail::searchAdpcmCodes(samples, count, state, search, codes, scratch);
}

}  // namespace recwav
