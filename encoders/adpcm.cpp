// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// A restart is looked at further, over onsetView samples, where an onset
// follows within them: a restart just before one meets it with the least
// step, which no search can then make up for. An onset is a loud sound
// (past onsetPeak) after a restart that is cheap over those samples because
// they are quiet, or after any restart a leap between two samples of more
// than leapPeak, as at a struck note or a click.
constexpr Cost quietCost = plannedLookahead * 16 * 16;
constexpr std::size_t onsetView = 40;
constexpr std::int32_t onsetPeak = 1024;
constexpr std::int32_t leapPeak = 16384;

// The first sample from `from` on (or `end`) that leaps from the one before
// it by more than leapPeak.
std::size_t nextLeap(const std::int16_t* samples, std::size_t from, std::size_t end) {
    while (from < end && std::abs(samples[from] - samples[from - 1]) <= leapPeak) {
        ++from;
    }
    return from;
}

// The restart cost at `at`, first over plannedLookahead samples, looked at
// further before an onset; `leap` is the first leap after `at`.
Cost lookForOnset(const std::int16_t* samples, std::size_t at, std::size_t available, Cost cost, std::size_t leap) {
    const std::size_t end = std::min(available, at + onsetView);
    if (cost > quietCost) {
        return leap < end ? restartCost(samples, at, available, onsetView) : cost;
    }
    for (std::size_t i = at + plannedLookahead; i < end; ++i) {
        if (samples[i] > onsetPeak || samples[i] < -onsetPeak) {
            return restartCost(samples, at, available, onsetView);
        }
    }
    return cost;
}

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
class Planner {
public:
    Planner(AdpcmEncoder& encoder, std::size_t available, bool ending)
        : samples_(encoder.pending.data()),
          available_(available),
          maxBlock_(encoder.settings.maxBlock),
          lengths_(maxBlock_),
          horizon_(std::min(available, 2 * maxBlock_)),
          ending_(ending && available <= horizon_),
          restarts_(encoder.restartCosts),
          window_(encoder.slide) {
        fillRestarts();
        settleRate();
    }

    // The length of the first block.
    std::size_t first() {
        std::size_t best = maxBlock_;
        Cost bestValue = noCost;
        lengths_.each([&](std::size_t first) {
            const Cost then = cheapestSecond(first);
            // The longest first, which a tie keeps.
            if (then != noCost && restart(first) * rateLength_ + then < bestValue) {
                bestValue = restart(first) * rateLength_ + then;
                best = first;
            }
        });
        return best;
    }

private:
    // Kept from block to block, as `pending` is: a restart's cost depends on
    // the samples after it alone, once all it looks at have come (planBlock).
    // Those not yet known at even positions are found at once.
    void fillRestarts() {
        restarts_.resize(horizon_ + 1, noCost);
        std::size_t unknown = horizon_ & ~std::size_t{1};
        for (; unknown >= lengths_.evenLeast && restarts_[unknown] == noCost; unknown -= 2) {
        }
        unknown += 2;
        if (unknown <= horizon_) {
            detail::restartCosts(samples_, available_, unknown, 2, (horizon_ - unknown) / 2 + 1, plannedLookahead,
                                 restarts_.data());
            // The leaps found once, for all of them.
            std::size_t leap = 0;
            for (std::size_t at = unknown; at <= horizon_; at += 2) {
                leap = nextLeap(samples_, std::max(leap, at + 1), available_);
                restarts_[at] = lookForOnset(samples_, at, available_, restarts_[at], leap);
            }
        }
    }

    Cost restart(std::size_t at) {
        if (restarts_[at] == noCost) {
            restarts_[at] =
                lookForOnset(samples_, at, available_, restartCost(samples_, at, available_, plannedLookahead),
                             nextLeap(samples_, at + 1, std::min(available_, at + onsetView)));
        }
        return restarts_[at];
    }

    // The rate is rateCost_ / rateLength_ (none once the sound ends). All the
    // values below are scaled by rateLength_, to stay in integers.
    void settleRate() {
        if (ending_) {
            return;
        }
        rateCost_ = noCost;
        lengths_.each([&](std::size_t length) {
            if (rateCost_ == noCost || restart(length) * rateLength_ < rateCost_ * static_cast<Cost>(length)) {
                rateCost_ = restart(length);
                rateLength_ = static_cast<Cost>(length);
            }
        });
    }

    // A second restart at `at`, and what follows it.
    Cost second(std::size_t at) {
        if (at > horizon_ || horizon_ - at > maxBlock_ || (ending_ && at == available_)) {
            return noCost;
        }
        return restart(at) * rateLength_ - rateCost_ * static_cast<Cost>(at);
    }

    // The cheapest second restart after a first at `first`, or the end.
    Cost cheapestSecond(std::size_t first) {
        Cost then = std::min(second(first + maxBlock_),
                             horizon_ - first <= maxBlock_ ? -rateCost_ * static_cast<Cost>(first) : noCost);
        if (first % 2 == 0 && first != maxBlock_) {
            return std::min(then, evenSecond(first));
        }
        for (std::size_t length = lengths_.evenMost; length >= lengths_.evenLeast && length < maxBlock_; length -= 2) {
            then = std::min(then, second(first + length));
        }
        return then;
    }

    // The cheapest second restart an even length after `first`: a minimum
    // over a window that slides with `first` (the even firsts come longest
    // first), kept in window_ (positions whose values grow from its front).
    Cost evenSecond(std::size_t first) {
        for (; arriving_ >= first + lengths_.evenLeast && arriving_ > 0; arriving_ -= 2) {
            const Cost value = second(arriving_);
            while (window_.size() > front_ && second(window_.back()) >= value) {
                window_.pop_back();
            }
            window_.push_back(arriving_);
        }
        while (window_.size() > front_ && window_[front_] > first + lengths_.evenMost) {
            ++front_;
        }
        return window_.size() > front_ ? second(window_[front_]) : noCost;
    }

    const std::int16_t* samples_;
    std::size_t available_;
    std::size_t maxBlock_;
    Lengths lengths_;
    std::size_t horizon_;
    bool ending_;
    std::vector<Cost>& restarts_;
    std::vector<std::size_t>& window_;
    Cost rateCost_ = 0;
    Cost rateLength_ = 1;
    std::size_t front_ = 0;
    std::size_t arriving_ = 2 * lengths_.evenMost;
};

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
    encoder.slide.clear();
    return Planner(encoder, available, ending).first();
}

// Moves the first `count` pending samples into the span as one block.
void planBlock(AdpcmEncoder& encoder, std::size_t count, AdpcmSpan& span) {
    const auto end = encoder.pending.begin() + static_cast<std::ptrdiff_t>(count);
    span.samples.insert(span.samples.end(), encoder.pending.begin(), end);
    span.blocks.push_back(static_cast<std::uint32_t>(count));
    encoder.pending.erase(encoder.pending.begin(), end);
    std::vector<std::int64_t>& restarts = encoder.restartCosts;
    restarts.erase(restarts.begin(), restarts.begin() + static_cast<std::ptrdiff_t>(std::min(count, restarts.size())));
    if (encoder.pending.empty()) {
        restarts.clear();
    }
    // Those near the window's end saw fewer than onsetView samples after
    // them: they are found again once all have come.
    const std::size_t window = adpcmWindow(encoder.settings);
    const std::size_t cut = window > onsetView + count ? window - onsetView - count : 0;
    std::fill(restarts.begin() + static_cast<std::ptrdiff_t>(std::min(cut, restarts.size())), restarts.end(), noCost);
}

// Appends one block of `count` samples.
void codeBlock(const std::int16_t* samples, std::size_t count, AdpcmSearch search, detail::AdpcmScratch& scratch,
               std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    scratch.codes.resize(count + 1);
    std::uint8_t* codes = scratch.codes.data();
    AdpcmState end;
    detail::searchAdpcmCodes(samples, count, end, search, codes, scratch);
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

std::size_t planAdpcm(AdpcmEncoder& encoder, const std::int16_t* samples, std::size_t count, AdpcmSpan& span) {
    if (checkAdpcmSettings(encoder.settings) != Status::ok) {
        return 0;
    }
    // A block is decided once the window holds it and its lookahead, and from
    // the window alone, so the plan does not depend on the calls' sizes.
    const std::size_t window = adpcmWindow(encoder.settings);
    std::size_t taken = 0;
    std::size_t planned = 0;
    for (;;) {
        const std::size_t more = std::min(count - taken, window - std::min(window, encoder.pending.size()));
        encoder.pending.insert(encoder.pending.end(), samples + taken, samples + taken + more);
        taken += more;
        if (encoder.pending.size() < window) {
            return planned;
        }
        const std::size_t length = chooseBlockLength(encoder, window, false);
        planBlock(encoder, length, span);
        planned += length;
    }
}

std::size_t finishAdpcmPlan(AdpcmEncoder& encoder, AdpcmSpan& span) {
    if (checkAdpcmSettings(encoder.settings) != Status::ok) {
        return 0;
    }
    std::size_t planned = 0;
    while (!encoder.pending.empty()) {
        const std::size_t length = chooseBlockLength(encoder, encoder.pending.size(), true);
        planBlock(encoder, length, span);
        planned += length;
    }
    return planned;
}

void codeAdpcmBlocks(const std::int16_t* samples, const std::uint32_t* blocks, std::size_t blockCount,
                     AdpcmSearch search, std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    // Each thread's own, kept to spare allocations from span to span.
    thread_local detail::AdpcmScratch scratch;
    for (std::size_t b = 0; b < blockCount; ++b) {
        codeBlock(samples, blocks[b], search, scratch, out, decoded);
        samples += blocks[b];
    }
}

std::size_t encodeAdpcm(AdpcmEncoder& encoder, const std::int16_t* samples, std::size_t count,
                        std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    AdpcmSpan span;
    const std::size_t planned = planAdpcm(encoder, samples, count, span);
    codeAdpcmBlocks(span.samples.data(), span.blocks.data(), span.blocks.size(), encoder.settings.search, out, decoded);
    return planned;
}

std::size_t finishAdpcm(AdpcmEncoder& encoder, std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    AdpcmSpan span;
    const std::size_t planned = finishAdpcmPlan(encoder, span);
    codeAdpcmBlocks(span.samples.data(), span.blocks.data(), span.blocks.size(), encoder.settings.search, out, decoded);
    return planned;
}

}  // namespace recwav
