// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>

#include "adpcmsearch.hpp"

namespace recwav {

namespace {

using Cost = std::int64_t;
constexpr Cost noCost = std::numeric_limits<Cost>::max();

// A restart's cost at `at`: the squared error of nearest codes from a fresh
// decoder over the next `length` samples, which is small where the sound is
// quiet or slow.
Cost restartCost(const std::int16_t* samples, std::size_t at, std::size_t available, std::size_t length,
                 Cost bound = noCost) {
    return detail::freshNearestCost(samples + at, std::min(length, available - at), bound);
}

// What the planned block ends look at past each: half of what release 1.0
// looked at, for the same choices on speech (a restart costs most in its
// first few samples) at half the work.
constexpr std::size_t plannedLookahead = adpcmLookahead / 2;

// The lengths a block may take: maxBlock, and the even lengths from half of
// maxBlock up to it, so that no block leaves half a byte unused.
struct Lengths {
    std::size_t most;       // maxBlock
    std::size_t evenLeast;  // the even lengths run from evenLeast to evenMost
    std::size_t evenMost;   // (none when evenMost < evenLeast)

    explicit Lengths(std::size_t maxBlock)
        : most(maxBlock),
          evenLeast(std::max<std::size_t>(2, (maxBlock / 2 + 1) & ~std::size_t{1})),
          evenMost((maxBlock - 1) & ~std::size_t{1}) {}

    // Calls `visit` with every length, the longest first.
    template <typename Visit>
    void each(Visit visit) const {
        visit(most);
        for (std::size_t length = evenMost; length >= evenLeast && length < most; length -= 2) {
            visit(length);
        }
    }
};

// The block ends of release 1.0, for the narrow search: the end where the
// restart's cost per sample of the block is least, so that a cheap restart is
// taken early only when it is cheaper by more than the block is shorter.
std::size_t narrowBlockLength(const std::int16_t* samples, std::size_t available, std::size_t maxBlock) {
    std::size_t best = maxBlock;
    Cost bestCost = restartCost(samples, maxBlock, available, adpcmLookahead);
    const std::size_t shortest = std::max<std::size_t>(1, maxBlock / 2);
    // Even lengths only, so that no block leaves half a byte unused.
    for (std::size_t length = (maxBlock - 1) & ~std::size_t{1}; length >= shortest && length > 0 && bestCost > 0;
         length -= 2) {
        // Beats the best when cost / length < bestCost / best; the bound stops
        // the trial as soon as it cannot.
        const Cost scaled = bestCost * static_cast<Cost>(length);
        const Cost cost =
            restartCost(samples, length, available, adpcmLookahead, (scaled - 1) / static_cast<Cost>(best));
        if (cost * static_cast<Cost>(best) < scaled) {
            bestCost = cost;
            best = length;
        }
    }
    return best;
}

// The block ends of the other searches: the end of this block and of the
// next are chosen together, so that the restarts over both cost least. What
// lies past the second restart is valued at the least restart cost per sample
// that this block offers, so that a later second restart counts for the
// samples it spares the restarts to come. `ending` when nothing follows.
std::size_t plannedBlockLength(const std::int16_t* samples, std::size_t available, std::size_t maxBlock, bool ending,
                               AdpcmScratch& scratch) {
    const Lengths lengths(maxBlock);
    const std::size_t horizon = std::min(available, 2 * maxBlock);
    ending = ending && available <= horizon;
    // Kept from block to block, as `pending` is: a restart's cost depends on
    // the samples after it alone.
    std::vector<Cost>& restarts = scratch.restartCosts;
    restarts.resize(horizon + 1, noCost);
    // Those not yet known at even positions, the last of them at once.
    std::size_t unknown = horizon & ~std::size_t{1};
    for (; unknown >= lengths.evenLeast && restarts[unknown] == noCost; unknown -= 2) {
    }
    unknown += 2;
    if (unknown <= horizon) {
        detail::restartCosts(samples, available, unknown, 2, (horizon - unknown) / 2 + 1, plannedLookahead,
                             restarts.data());
    }
    const auto restart = [&](std::size_t at) {
        if (restarts[at] == noCost) {
            restarts[at] = restartCost(samples, at, available, plannedLookahead);
        }
        return restarts[at];
    };
    // The rate is rateCost / rateLength (none once the sound ends). All the
    // values below are scaled by rateLength, to stay in integers.
    Cost rateCost = 0;
    Cost rateLength = 1;
    if (!ending) {
        rateCost = noCost;
        lengths.each([&](std::size_t length) {
            if (rateCost == noCost || restart(length) * rateLength < rateCost * static_cast<Cost>(length)) {
                rateCost = restart(length);
                rateLength = static_cast<Cost>(length);
            }
        });
    }
    // A second restart at `at`, and what follows it.
    const auto second = [&](std::size_t at) {
        if (at > horizon || horizon - at > maxBlock || (ending && at == available)) {
            return noCost;
        }
        return restart(at) * rateLength - rateCost * static_cast<Cost>(at);
    };
    // The cheapest second restart after a first at `first`, of those an even
    // length on: a minimum over a window that slides with `first`, kept in
    // `window` (positions whose values grow from its front).
    std::vector<std::size_t>& window = scratch.window;
    window.clear();
    std::size_t front = 0;
    std::size_t arriving = lengths.evenMost + lengths.evenMost;
    const auto evenSecond = [&](std::size_t first) {
        for (; arriving >= first + lengths.evenLeast && arriving > 0; arriving -= 2) {
            const Cost value = second(arriving);
            while (window.size() > front && second(window.back()) >= value) {
                window.pop_back();
            }
            window.push_back(arriving);
        }
        while (window.size() > front && window[front] > first + lengths.evenMost) {
            ++front;
        }
        return window.size() > front ? second(window[front]) : noCost;
    };
    std::size_t best = maxBlock;
    Cost bestValue = noCost;
    lengths.each([&](std::size_t first) {
        Cost then = std::min(second(first + maxBlock),
                             horizon - first <= maxBlock ? -rateCost * static_cast<Cost>(first) : noCost);
        if (first % 2 == 0 && first != maxBlock) {
            then = std::min(then, evenSecond(first));
        } else {
            for (std::size_t length = lengths.evenMost; length >= lengths.evenLeast && length < maxBlock; length -= 2) {
                then = std::min(then, second(first + length));
            }
        }
        // The longest first, which a tie keeps.
        if (then != noCost && restart(first) * rateLength + then < bestValue) {
            bestValue = restart(first) * rateLength + then;
            best = first;
        }
    });
    return best;
}

// How many of the first `available` pending samples the next block takes;
// `ending` when no more will come.
std::size_t chooseBlockLength(AdpcmEncoder& encoder, std::size_t available, bool ending) {
    const std::size_t maxBlock = encoder.settings.maxBlock;
    if (encoder.settings.fixedBlocks || available <= maxBlock) {
        return std::min(available, maxBlock);
    }
    if (encoder.settings.search == AdpcmSearch::narrow) {
        return narrowBlockLength(encoder.pending.data(), available, maxBlock);
    }
    return plannedBlockLength(encoder.pending.data(), available, maxBlock, ending, encoder.scratch);
}

// Appends one block of the first `count` pending samples.
void encodeBlock(AdpcmEncoder& encoder, std::size_t count, std::vector<std::uint8_t>& out,
                 std::vector<std::int16_t>* decoded) {
    encoder.scratch.codes.resize(count + 1);
    std::uint8_t* codes = encoder.scratch.codes.data();
    AdpcmState end;
    detail::searchAdpcmCodes(encoder.pending.data(), count, end, encoder.settings.search, codes, encoder.scratch);
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
    std::vector<std::int64_t>& restarts = encoder.scratch.restartCosts;
    restarts.erase(restarts.begin(), restarts.begin() + static_cast<std::ptrdiff_t>(std::min(count, restarts.size())));
    if (encoder.pending.empty()) {
        restarts.clear();
    }
}

}  // namespace

Status checkAdpcmSettings(const AdpcmSettings& settings) {
    const bool inRange =
        settings.maxBlock >= 1 && settings.maxBlock <= maxAdpcmBlockLimit && settings.search <= AdpcmSearch::widest;
    return inRange ? Status::ok : Status::badSetting;
}

std::size_t adpcmShortestBlock(const AdpcmSettings& settings) {
    return settings.fixedBlocks ? settings.maxBlock : std::max<std::size_t>(1, settings.maxBlock / 2);
}

std::size_t adpcmWindow(const AdpcmSettings& settings) {
    const std::size_t maxBlock = settings.maxBlock;
    if (settings.fixedBlocks) {
        return maxBlock;
    }
    return (settings.search == AdpcmSearch::narrow ? maxBlock : 2 * maxBlock) + adpcmLookahead;
}

std::size_t encodeAdpcm(AdpcmEncoder& encoder, const std::int16_t* samples, std::size_t count,
                        std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    if (checkAdpcmSettings(encoder.settings) != Status::ok) {
        return 0;
    }
    // A block is decided once the window holds it and its lookahead, and from
    // the window alone, so the bytes do not depend on the calls' sizes.
    const std::size_t window = adpcmWindow(encoder.settings);
    std::size_t taken = 0;
    std::size_t coded = 0;
    for (;;) {
        const std::size_t more = std::min(count - taken, window - std::min(window, encoder.pending.size()));
        encoder.pending.insert(encoder.pending.end(), samples + taken, samples + taken + more);
        taken += more;
        if (encoder.pending.size() < window) {
            return coded;
        }
        const std::size_t length = chooseBlockLength(encoder, window, false);
        encodeBlock(encoder, length, out, decoded);
        coded += length;
    }
}

std::size_t finishAdpcm(AdpcmEncoder& encoder, std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    if (checkAdpcmSettings(encoder.settings) != Status::ok) {
        return 0;
    }
    std::size_t coded = 0;
    while (!encoder.pending.empty()) {
        const std::size_t length = chooseBlockLength(encoder, encoder.pending.size(), true);
        encodeBlock(encoder, length, out, decoded);
        coded += length;
    }
    return coded;
}

}  // namespace recwav
