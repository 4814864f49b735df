// SPDX-License-Identifier: MIT
// The ADPCM encoder's code searches, shared by its block planning
// (adpcm.cpp) and its public search (searchAdpcmCodes).
#pragma once

#include <cstddef>
#include <cstdint>

#include <recwav/encoders.hpp>

namespace recwav::detail {

// The squared error of nearest codes for `count` samples from a fresh
// decoder, or, once it passes `bound`, what it has then.
std::int64_t freshNearestCost(const std::int16_t* samples, std::size_t count, std::int64_t bound);

// The same over `length` samples (or fewer, before `available`) at each of
// `count` positions, from `from` on by `step`, each to costs[position].
void restartCosts(const std::int16_t* samples, std::size_t available, std::size_t from, std::size_t step,
                  std::size_t count, std::size_t length, std::int64_t* costs);

std::uint64_t searchAdpcmCodes(const std::int16_t* samples, std::size_t count, AdpcmState& state, AdpcmSearch search,
                               std::uint8_t* codes, AdpcmScratch& scratch);

}  // namespace recwav::detail
