// SPDX-License-Identifier: MIT
// The benchmark's reference ADPCM search (adpcm_reference.cpp).
#pragma once

#include <cstdint>
#include <vector>

// What the reference's codes decode to, block by block over the given block
// lengths (which cover the samples), each block from a fresh decoder.
std::vector<std::int16_t> referenceDecoded(const std::vector<std::int16_t>& samples,
                                           const std::vector<std::uint32_t>& blocks);
