// SPDX-License-Identifier: MIT
// The ADPCM encoder's code searches, shared by its block planning
// (adpcm.cpp) and its public search (searchAdpcmCodes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <recwav/encoders.hpp>

namespace recwav::detail {

// The search's working memory, kept between blocks to spare allocations.
struct AdpcmScratch {
    struct Saved {
        std::int64_t cost;
        std::int32_t predictor;
        std::uint8_t stepIndex;
    };
    struct Tried {
        std::int32_t predictor;
        std::uint16_t mark;  // the parent and code
        std::uint8_t stepIndex;
    };
    std::vector<std::int64_t> costs;  // of the states kept
    std::vector<std::int32_t> predictors;
    std::vector<std::uint8_t> stepIndices;
    std::vector<std::int64_t> triedCosts;  // of the states tried at a sample
    std::vector<Tried> tried;
    std::vector<std::int64_t> order;
    std::vector<std::uint16_t> trail;  // the marks of the states kept, sample by sample
    // Merging states: a table of the bins filled at a sample (counted in
    // `generation`) and the state tried in each.
    std::vector<std::uint32_t> seen;
    std::uint32_t generation = 0;
    std::vector<std::int16_t> highs;  // of each sample and a few after it
    std::vector<std::int16_t> lows;
    std::vector<std::int32_t> jumps;  // of each sample and the next, the larger change to the sample after
    std::vector<Saved> saved;         // the states at each part of a long block
    std::vector<std::size_t> savedKept;
    std::vector<std::uint8_t> codes;
};

// The squared error of nearest codes for `count` samples from a fresh
// decoder, or, once it passes `bound`, what it has then.
std::int64_t freshNearestCost(const std::int16_t* samples, std::size_t count, std::int64_t bound);

// The same over `length` samples (or fewer, before `available`) at each of
// `count` positions, from `from` on by `step`, each to costs[position].
void restartCosts(const std::int16_t* samples, std::size_t available, std::size_t from, std::size_t step,
                  std::size_t count, std::size_t length, std::int64_t* costs);

// The k-th least (from 0) of `count` costs, each from 0 to 2^62, which it
// writes over, as it does `spare`, room for `count` more.
std::int64_t leastCost(std::int64_t* costs, std::int64_t* spare, std::size_t count, std::size_t k);

std::uint64_t searchAdpcmCodes(const std::int16_t* samples, std::size_t count, AdpcmState& state, AdpcmSearch search,
                               std::uint8_t* codes, AdpcmScratch& scratch);

}  // namespace recwav::detail
