// SPDX-License-Identifier: MIT
#include "adpcmsearch.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
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
// The differences are plus and minus eight magnitudes, so a count of the
// magnitudes up to |wanted| (vector compares, for compilers) places it: above
// the seven lowest ranks when `wanted` is not negative, below them otherwise.
inline unsigned rankBelow(const RankedStep& step, std::int32_t wanted) {
    // For a negative `wanted`, the magnitudes under -wanted: those at most ~wanted.
    const std::int32_t limit = wanted >= 0 ? wanted : ~wanted;
    unsigned within = 0;
    for (std::size_t magnitude = 0; magnitude < codeCount / 2; ++magnitude) {
        within += step.difference[codeCount / 2 + magnitude] <= limit ? 1U : 0U;
    }
    if (wanted >= 0) {
        return 7 + within;
    }
    // Rank 0 takes the largest magnitude whether or not it is within.
    return 7 - (within - (step.difference[codeCount - 1] <= limit ? 1U : 0U));
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
    return above - sample < sample - below ? rank + 1 : rank;
}

constexpr Cost squared(std::int32_t error) {
    return static_cast<Cost>(error) * error;
}

// One nearest code: takes the decoder in (predictor, index) on by the code
// nearest to `sample`, and returns the code's rank.
inline unsigned nearestStep(std::int32_t& predictor, std::uint32_t& index, std::int32_t sample) {
    const RankedStep& step = rankedSteps[index];
    const unsigned rank = nearestRank(step, predictor, sample);
    predictor = clampSample(predictor + step.difference[rank]);
    index = step.nextIndex[rank];
    return rank;
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
    // The two codes whose values lie either side of the sample; and where the
    // step is near its least (quietIndex), the cheapest state also the codes
    // that raise it, so that a sudden onset can find the step ready.
    either,
    // Those two, and every state the codes that raise the step, each in the
    // direction of the sample.
    eitherAndSteps,
    every,  // all 16
};

// Step indices up to this count as near silence (steps of at most 16).
constexpr unsigned quietIndex = 8;

struct Shape {
    std::size_t states;  // kept per sample
    Tries tries;
    unsigned mergeShift;  // two states are one when they share the step index and predictor >> this
    // Kept before an onset, at most 4096 (a trail entry holds the parent in
    // 12 bits): where the step is small and the sound ahead moves far, every
    // state also tries the codes that raise the step, and a wider beam keeps
    // those that rise, so that one is ready when the onset comes.
    std::size_t onsetStates;
};

constexpr Shape shapeOf(AdpcmSearch search) {
    switch (search) {
        case AdpcmSearch::best:
            return {256, Tries::eitherAndSteps, 7, 256 + indexCount};
        case AdpcmSearch::widest:
            return {1024, Tries::every, 6, 1024 + indexCount};
        default:
            return {16, Tries::either, 9, 16 + indexCount};
    }
}

// An onset is near when within this many samples the sound moves from the
// cheapest state's predictor by more than onsetSteps of its step, and that
// step is of index onsetIndex at most.
constexpr std::size_t onsetLookahead = 16;
constexpr std::int32_t onsetSteps = 16;
constexpr unsigned onsetIndex = 40;

// The trail of this many samples is held at once; a longer block is searched
// again from states saved at each such step, a part at a time, to read its
// path back in bounded memory.
constexpr std::size_t segmentLength = 2048;

// The ranks of codes 4 to 7 and 12 to 15: the codes that raise the step.
constexpr std::array<unsigned, 4> raisingUp = {12, 13, 14, 15};
constexpr std::array<unsigned, 4> raisingDown = {3, 2, 1, 0};

class WideSearch {
public:
    WideSearch(const Shape& shape, AdpcmScratch& scratch) : shape_(shape), s_(scratch) {
        const std::size_t tries = shape.tries == Tries::every ? codeCount : 6;
        const std::size_t room = width_ * (1 + tries);
        s_.costs.resize(room);
        s_.predictors.resize(room);
        s_.stepIndices.resize(room);
        s_.marks.resize(width_ * tries);
        s_.order.resize(width_ * tries);
        s_.seen.resize(indexCount << (16U - shape.mergeShift));
        s_.bucketSlot.resize(s_.seen.size());
    }

    // Starts from one state.
    void begin(const AdpcmState& state) {
        s_.costs[0] = 0;
        s_.predictors[0] = state.predictor;
        s_.stepIndices[0] = static_cast<std::uint8_t>(state.stepIndex);
        kept_ = 1;
    }

    // Takes the beam one sample on, to the first of the `left` samples at
    // `ahead`, writing each kept state's parent and code to `marks`.
    void step(const std::int16_t* ahead, std::size_t left, std::uint16_t* marks) {
        if (++s_.generation == 0) {
            std::fill(s_.seen.begin(), s_.seen.end(), 0);
            s_.generation = 1;
        }
        tried_ = 0;
        const std::int32_t sample = ahead[0];
        const std::size_t cheapestSlot = shape_.tries != Tries::every ? cheapest() : kept_;
        const bool onset = cheapestSlot < kept_ && onsetNear(ahead, left, cheapestSlot);
        const std::size_t states = shape_.states;
        for (std::size_t slot = 0; slot < kept_; ++slot) {
            const std::int32_t from = s_.predictors[slot];
            const RankedStep& step = rankedSteps[s_.stepIndices[slot]];
            const Cost cost = s_.costs[slot];
            if (shape_.tries == Tries::every) {
                for (unsigned rank = 0; rank < codeCount; ++rank) {
                    tryRank(step, from, cost, slot, rank, sample);
                }
                continue;
            }
            const unsigned below = rankBelow(step, sample - from);
            tryRank(step, from, cost, slot, below, sample);
            if (below + 1 < codeCount) {
                tryRank(step, from, cost, slot, below + 1, sample);
            }
            // Where the codes past the sample clamp at full scale, those that
            // raise the step cost no more: a clipped stretch can end with
            // the step ready for the fall after it.
            const bool clampsUp = below + 1 < codeCount && from + step.difference[below + 1] >= 32767;
            const bool clampsDown = from + step.difference[below] <= -32768;
            if (shape_.tries == Tries::eitherAndSteps || clampsUp || clampsDown || onset ||
                (slot == cheapestSlot && s_.stepIndices[slot] <= quietIndex)) {
                const bool up = clampsUp || (!clampsDown && sample >= from);
                const std::array<unsigned, 4>& ranks = up ? raisingUp : raisingDown;
                for (const unsigned rank : ranks) {
                    if (rank != below && rank != below + 1) {
                        tryRank(step, from, cost, slot, rank, sample);
                    }
                }
            }
        }
        // Keep the `states` cheapest; of those as dear as the last kept, the
        // first tried, so that the choice does not rest on the order in
        // which a selection leaves them.
        const Cost* tried = s_.costs.data() + width_;
        Cost limit = noCost;
        std::size_t asDear = states;  // how many as dear as `limit` may go on
        if (tried_ > states) {
            limit = keptLimit(tried, states);
            asDear = states - static_cast<std::size_t>(
                                  std::count_if(tried, tried + tried_, [limit](Cost cost) { return cost < limit; }));
        }
        // Before an onset, also the cheapest of each step index: a ladder of
        // states whose steps rise.
        std::array<std::uint16_t, indexCount> cheapestOf{};
        if (onset) {
            cheapestOf.fill(0xFFFFU);
            for (std::size_t j = 0; j < tried_; ++j) {
                std::uint16_t& held = cheapestOf[s_.stepIndices[width_ + j]];
                if (held == 0xFFFFU || tried[j] < tried[held]) {
                    held = static_cast<std::uint16_t>(j);
                }
            }
        }
        std::size_t next = 0;
        for (std::size_t j = 0; j < tried_; ++j) {
            const Cost cost = tried[j];
            const bool rung = onset && cheapestOf[s_.stepIndices[width_ + j]] == j;
            if (cost > limit && !rung) {
                continue;
            }
            if (cost == limit && !rung) {
                if (asDear == 0) {
                    continue;
                }
                --asDear;
            }
            s_.costs[next] = cost;
            s_.predictors[next] = s_.predictors[width_ + j];
            s_.stepIndices[next] = s_.stepIndices[width_ + j];
            marks[next] = s_.marks[j];
            ++next;
        }
        kept_ = next;
    }

    [[nodiscard]] std::size_t kept() const { return kept_; }

    void save(AdpcmScratch::Saved* saved) const {
        for (std::size_t slot = 0; slot < kept_; ++slot) {
            saved[slot] = {s_.costs[slot], s_.predictors[slot], s_.stepIndices[slot]};
        }
    }

    void restore(const AdpcmScratch::Saved* saved, std::size_t kept) {
        for (std::size_t slot = 0; slot < kept; ++slot) {
            s_.costs[slot] = saved[slot].cost;
            s_.predictors[slot] = saved[slot].predictor;
            s_.stepIndices[slot] = saved[slot].stepIndex;
        }
        kept_ = kept;
    }

    // The cheapest kept state, the first of those as cheap.
    [[nodiscard]] std::size_t cheapest() const {
        return static_cast<std::size_t>(
            std::min_element(s_.costs.begin(), s_.costs.begin() + static_cast<std::ptrdiff_t>(kept_)) -
            s_.costs.begin());
    }

private:
    // Whether the sound ahead moves far beyond a small step.
    [[nodiscard]] bool onsetNear(const std::int16_t* ahead, std::size_t left, std::size_t slot) const {
        const unsigned index = s_.stepIndices[slot];
        if (index > onsetIndex) {
            return false;
        }
        const std::int32_t reach = onsetSteps * adpcmStepSizes[index];
        const std::int32_t from = s_.predictors[slot];
        for (std::size_t i = 0; i < std::min(left, onsetLookahead); ++i) {
            if (ahead[i] - from > reach || from - ahead[i] > reach) {
                return true;
            }
        }
        return false;
    }

    // The cost of the last state kept: the states-th least of those tried.
    Cost keptLimit(const Cost* tried, std::size_t states) {
        const std::size_t spare = tried_ - states;
        if (spare >= fewSpare) {
            std::copy(tried, tried + tried_, s_.order.begin());
            const auto last = s_.order.begin() + static_cast<std::ptrdiff_t>(states - 1);
            std::nth_element(s_.order.begin(), last, s_.order.begin() + static_cast<std::ptrdiff_t>(tried_));
            return *last;
        }
        // Only a few too many, as is usual in the narrower searches: the
        // spare + 1 dearest, in order, found in one pass.
        std::array<Cost, fewSpare> dearest{};
        std::size_t held = 0;
        for (std::size_t j = 0; j < tried_; ++j) {
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

    void tryRank(const RankedStep& step, std::int32_t from, Cost base, std::size_t slot, unsigned rank,
                 std::int32_t sample) {
        const std::int32_t predictor = clampSample(from + step.difference[rank]);
        const Cost cost = base + squared(predictor - sample);
        const std::uint8_t index = step.nextIndex[rank];
        const std::size_t bucket = static_cast<std::size_t>(index) << (16U - shape_.mergeShift) |
                                   static_cast<std::size_t>(predictor + 32768) >> shape_.mergeShift;
        std::size_t at = tried_;
        if (s_.seen[bucket] == s_.generation) {
            at = s_.bucketSlot[bucket];
            if (s_.costs[width_ + at] <= cost) {
                return;
            }
        } else {
            s_.seen[bucket] = s_.generation;
            s_.bucketSlot[bucket] = static_cast<std::uint16_t>(at);
            ++tried_;
        }
        s_.costs[width_ + at] = cost;
        s_.predictors[width_ + at] = predictor;
        s_.stepIndices[width_ + at] = index;
        s_.marks[at] = static_cast<std::uint16_t>(slot << 4U | codeOfRank[rank]);
    }

    Shape shape_;
    std::size_t width_ = shape_.onsetStates;  // the most states kept
    AdpcmScratch& s_;
    std::size_t kept_ = 0;
    std::size_t tried_ = 0;
};

Cost wideCodes(const std::int16_t* samples, std::size_t count, AdpcmState& state, std::uint8_t* codes,
               const Shape& shape, AdpcmScratch& scratch) {
    if (count == 0) {
        return 0;
    }
    WideSearch search(shape, scratch);
    const std::size_t width = shape.onsetStates;
    const std::size_t parts = (count + segmentLength - 1) / segmentLength;
    scratch.trail.resize(std::min(count, segmentLength) * width);
    scratch.saved.resize((parts - 1) * width);
    scratch.savedKept.resize(parts - 1);
    const auto run = [&](std::size_t part) {
        const std::size_t from = part * segmentLength;
        const std::size_t to = std::min(count, from + segmentLength);
        for (std::size_t i = from; i < to; ++i) {
            search.step(samples + i, count - i, scratch.trail.data() + (i - from) * width);
        }
    };
    search.begin(state);
    for (std::size_t part = 0; part < parts; ++part) {
        if (part + 1 < parts) {
            scratch.savedKept[part] = search.kept();
            search.save(scratch.saved.data() + part * width);
        }
        run(part);
    }
    std::size_t slot = search.cheapest();
    const Cost total = scratch.costs[slot];
    state = {scratch.predictors[slot], scratch.stepIndices[slot]};
    for (std::size_t part = parts; part-- > 0;) {
        if (part + 1 < parts) {
            search.restore(scratch.saved.data() + part * width, scratch.savedKept[part]);
            run(part);
        }
        const std::size_t from = part * segmentLength;
        for (std::size_t i = std::min(count, from + segmentLength); i-- > from;) {
            const std::uint16_t mark = scratch.trail[(i - from) * width + slot];
            codes[i] = mark & 0x0FU;
            slot = mark >> 4U;
        }
    }
    return total;
}

}  // namespace

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

void restartCosts(const std::int16_t* samples, std::size_t available, std::size_t from, std::size_t step,
                  std::size_t count, std::size_t length, std::int64_t* costs) {
    // Four at a time where all four have their samples: each trial waits on
    // its own previous code, so four side by side keep the processor busy.
    constexpr std::size_t lanes = 4;
    std::size_t done = 0;
    for (; done + lanes <= count && from + (done + lanes - 1) * step + length <= available; done += lanes) {
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
        default:
            cost = wideCodes(samples, count, state, codes, shapeOf(search), scratch);
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
