#include "index/coded_scan.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "core/kernels.hpp"

namespace karnoxel::index {
namespace {

struct Pick {
    float key;  // approximate score, higher is better
    std::uint32_t pos;
};

// Orders a min-heap of picks: the front is the worst.
struct Worse {
    bool operator()(const Pick& a, const Pick& b) const { return a.key > b.key; }
};

struct Scratch {
    std::vector<std::int8_t> query;
    std::vector<Pick> picks;
    std::vector<std::uint64_t> query_signs;
    std::vector<std::uint32_t> apart;       // entry -> bits its signs differ from the query's
    std::vector<std::uint32_t> histogram;   // count of bits apart (or bin of estimates) -> entries
    std::vector<std::uint32_t> near;        // the entries whose codes are scored
    std::vector<std::uint32_t> band;        // entry -> its band of lengths
    std::vector<std::uint32_t> band_limit;  // band -> the farthest count kept in it
    std::vector<float> band_reach;          // band -> its estimate scale, floor and pool's reach
    std::vector<float> cosines;             // count apart -> cosine estimated, then with the margin
    std::size_t cosines_length = 0;         // the length `cosines` was made for
};

// `key`, or minus infinity where `scale` is 0 (either sign): in integer
// operations, so that loops over a block's keys have no branch to keep them
// from being vectorised.
inline float unless_unscaled(float key, float scale) {
    constexpr std::uint32_t LOST = 0xFF800000u;  // -infinity
    const std::uint32_t kept = 0u - static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(scale) << 1) != 0);
    return std::bit_cast<float>((std::bit_cast<std::uint32_t>(key) & kept) | (LOST & ~kept));
}

// Not inlined: callers then hold a plain reference rather than recomputing
// the thread-local's address (a call) at every use inside their loops.
__attribute__((noinline)) Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
}

// Entries scored per kernel call: a block of the tenant's codes back to
// back, or of the entries a scan by signs chose, whose codes the kernel reads
// ahead of their sums; that read-ahead restarts with every call, so those
// blocks are larger (the choice keeps a few percent of the tenant).
constexpr std::size_t BLOCK = 256;
constexpr std::size_t CHOSEN_BLOCK = 1024;

// Every entry's count of signs apart from the query's, into scratch.apart.
const std::uint32_t* count_signs_apart(const core::TenantCodes& codes, std::size_t count,
                                       const std::int8_t* coded_query, std::size_t length, Scratch& scratch) {
    const std::size_t words = codes.sign_words();
    scratch.query_signs.assign(words, 0);
    for (std::size_t i = 0; i < length; ++i) {
        scratch.query_signs[i / 64] |= static_cast<std::uint64_t>(coded_query[i] > 0) << (i % 64);
    }
    scratch.apart.resize((count + core::SIGN_BLOCK - 1) / core::SIGN_BLOCK * core::SIGN_BLOCK);
    std::uint32_t* const apart = scratch.apart.data();
    core::fast_kernels().signs_apart(scratch.query_signs.data(), codes.signs.data(), count, words, apart);
    return apart;
}

// The margin of a choice by signs: about two standard deviations of the
// count of signs apart between vectors at equal angles.
std::uint32_t sign_margin(std::size_t length) {
    return static_cast<std::uint32_t>(std::ceil(std::sqrt(static_cast<double>(length))));
}

// The first bin of a histogram whose entries and those of the bins before
// make up the pool; `last` where they never do.
std::size_t pool_bin(const std::uint32_t* histogram, std::size_t last, std::size_t pool) {
    std::size_t bin = 0;
    for (std::size_t seen = 0; bin < last; ++bin) {
        seen += histogram[bin];
        if (seen >= pool) break;
    }
    return bin;
}

// The farthest count kept: the pool's farthest count in a histogram of
// counts 0 to `length` (the length itself where fewer entries than the pool
// were counted: all are kept), plus the margin.
std::uint32_t pool_limit(const std::uint32_t* histogram, std::size_t length, std::size_t pool) {
    return static_cast<std::uint32_t>(pool_bin(histogram, length, pool)) + sign_margin(length);
}

// The entries of a scan by angle worth scoring from their codes, into
// scratch.near in entry order; returns their number.
//
// Cosine ranks by angle, and the signs tell angles apart: the number of
// values whose sign differs from the query's grows with the angle (in
// proportion to it, for values spread evenly around the query). Only the
// entries within a margin of the pool's nearest by that count are kept. The
// margin, the square root of the length, is about two standard deviations of
// that count between vectors at equal angles: on 384-d text embeddings it
// keeps about 4% of the entries, on loose clusters of evenly scattered values
// nearer half, and in both keeps the cosine top 10 99.5% of the time.
std::size_t near_by_signs(const core::TenantCodes& codes, std::size_t count, const std::int8_t* coded_query,
                          std::size_t length, std::size_t pool, Scratch& scratch) {
    const std::uint32_t* const apart = count_signs_apart(codes, count, coded_query, length, scratch);
    // The pool's farthest count, from a histogram of the counts: four
    // histograms taken in turn, so that runs of equal counts do not wait on
    // each other's increments, summed when read.
    const std::size_t bins = length + 1;
    scratch.histogram.assign(4 * bins, 0);
    std::uint32_t* const histogram = scratch.histogram.data();
    std::size_t pos = 0;
    for (; pos + 4 <= count; pos += 4) {
        ++histogram[apart[pos]];
        ++histogram[bins + apart[pos + 1]];
        ++histogram[2 * bins + apart[pos + 2]];
        ++histogram[3 * bins + apart[pos + 3]];
    }
    for (; pos < count; ++pos) ++histogram[apart[pos]];
    for (std::size_t bin = 0; bin < bins; ++bin) {
        histogram[bin] += histogram[bins + bin] + histogram[2 * bins + bin] + histogram[3 * bins + bin];
    }
    const std::uint32_t limit = pool_limit(histogram, length, pool);
    // The entries within the limit (whole blocks may be written).
    scratch.near.resize(scratch.apart.size());
    return core::fast_kernels().signs_within(apart, count, limit, scratch.near.data());
}

// Counts of signs apart -> the cosine they estimate, cos(pi * count / length),
// then the cosine of the count less the margin (what an entry might reach):
// two tables of length + 1, made once per thread and length.
const float* cosines_of_counts(std::size_t length, Scratch& scratch) {
    if (scratch.cosines_length != length) {
        const std::uint32_t margin = sign_margin(length);
        scratch.cosines.resize(2 * (length + 1));
        const double step = std::acos(-1.0) / static_cast<double>(length);
        for (std::size_t count = 0; count <= length; ++count) {
            const double nearer = count > margin ? static_cast<double>(count - margin) : 0.0;
            scratch.cosines[count] = static_cast<float>(std::cos(step * static_cast<double>(count)));
            scratch.cosines[length + 1 + count] = static_cast<float>(std::cos(step * nearer));
        }
        scratch.cosines_length = length;
    }
    return scratch.cosines.data();
}

// Bins of the histogram of a band's estimated distances.
constexpr std::size_t ESTIMATE_BINS = 256;

// For a Euclidean scan: an upper bound of each band's pool-th least
// estimate of an entry's squared distance from the query less the query's
// own, n^2 - 2 |q| n c for an entry of length n whose count of signs apart
// estimates the cosine c; into scratch.band_reach (infinity where fewer than
// the pool are found). It is the pool-th least among the `kept` entries
// (scratch.near) only, those the counts chose: at least the pool of each
// band, and near the query, so the bound is close where the counts rank well
// and only larger (keeping more) where they do not. `raised[entry]` is the
// entry's count plus `widest - limit[band]`. The estimates are taken from a
// histogram per band over the range the band's lengths allow; the width of
// its bins, which rounds the bound up, is far below the margin.
const float* reach_by_estimate(const core::TenantCodes& codes, std::size_t kept, const std::uint32_t* raised,
                               std::uint32_t widest, const std::uint32_t* limit, std::size_t length, std::size_t pool,
                               float query_length, std::uint32_t lowest, std::size_t bands, Scratch& scratch) {
    constexpr float LAST = static_cast<float>(ESTIMATE_BINS - 1);
    const float twice = 2.0f * query_length;
    // Per band: the scale to a bin, the least estimate, and then the reach.
    scratch.band_reach.resize(3 * bands);
    float* const to_bin = scratch.band_reach.data();
    float* const floor = to_bin + bands;
    float* const reach = floor + bands;
    for (std::size_t b = 0; b < bands; ++b) {
        // The band's lengths, from the bounds of its inverse lengths.
        const auto bits = static_cast<std::uint32_t>(lowest + b);
        const float shortest = 1.0f / std::bit_cast<float>((bits + 1) << 21);
        const float longest = 1.0f / std::bit_cast<float>(bits << 21);  // infinity in band 0
        const float nearest = std::clamp(query_length, shortest, longest);
        floor[b] = nearest * (nearest - twice);
        const float span = longest * (longest + twice) - floor[b];
        to_bin[b] = span > 0.0f && span < std::numeric_limits<float>::infinity() ? ESTIMATE_BINS / span : 0.0f;
    }
    const float* const estimated = cosines_of_counts(length, scratch);
    const std::uint32_t* const near = scratch.near.data();
    const std::uint32_t* const band = scratch.band.data();
    scratch.histogram.assign(bands * ESTIMATE_BINS, 0);
    std::uint32_t* const histogram = scratch.histogram.data();
    for (std::size_t k = 0; k < kept; ++k) {
        const std::uint32_t entry = near[k];
        const std::uint32_t b = band[entry];
        if (codes.scale[entry] == 0.0f) continue;  // without a row: never wins
        const float n = 1.0f / codes.inv_norm[entry];
        const float c = estimated[raised[entry] - (widest - limit[b])];
        const float bin = (n * (n - twice * c) - floor[b]) * to_bin[b];
        // Within the bins (NaN to the last).
        const float within = bin > 0.0f ? (bin < LAST ? bin : LAST) : (bin <= 0.0f ? 0.0f : LAST);
        ++histogram[b * ESTIMATE_BINS + static_cast<std::uint32_t>(within)];
    }
    for (std::size_t b = 0; b < bands; ++b) {
        const std::size_t bin = pool_bin(histogram + b * ESTIMATE_BINS, ESTIMATE_BINS - 1, pool);
        reach[b] = bin < ESTIMATE_BINS - 1 ? floor[b] + static_cast<float>(bin + 1) / to_bin[b]
                                           : std::numeric_limits<float>::infinity();
    }
    return reach;
}

// The entries of a dot-product or Euclidean scan worth scoring from their
// codes, into scratch.near in entry order; returns their number, or 0 where
// the scan should read every code. `query_length` is 0 for a dot product.
//
// Vectors of unequal lengths do not rank by angle, but those of nearly equal
// lengths nearly do: within a band of lengths from a to b, an entry y whose
// cosine with the query exceeds b / a times x's has the larger dot product
// (for x's cosine positive), so x's rank by angle within its band exceeds its
// rank by dot product by no more than the entries between those cosines.
// The entries are banded by their inverse length's exponent and top two
// fraction bits (bands of lengths at most 2^(1/4) = 1.19 apart), and each
// band keeps what a scan by angle of it would: the entries within the margin
// of its pool's farthest count, all of a band no larger than the pool.
// Measured on 50,000 raw text embeddings (lengths 1.1 to 8.9, 12 bands):
// 14% of the entries kept, with every true top 10 of 100 queries; on loose
// clusters of log-normal lengths 56-61% (so those read every code), also
// with every top 10. Only worthwhile where the bands are large: with fewer
// than BAND_ENTRIES pools of entries per band on average (twice that for a
// Euclidean scan), or more than MAX_BANDS bands, or more than half the
// entries kept, the scan reads every code instead; and only for long codes:
// the passes over every entry cost about as much whatever its length, while
// reading its code costs in proportion. Measured against reading every code,
// tenants of 50/30/20% of 100,000 raw text embeddings cut to 256 values:
// dot product 1.43/1.07/1.05x, Euclidean (whose passes cost more) 1.09/0.83/
// 0.80x; of 384 values, Euclidean 1.42/1.05x (the 20% tenant reads every
// code: its bands are too small); of 20,000 clustered vectors of 128 values,
// tenants of a half and a fifth: dot product 0.72/0.74x, Euclidean 0.47x
// (on clusters of varied lengths, dot product, about even).
//
// A Euclidean distance, n^2 + |q|^2 - 2 |q| n c for an entry of length n at
// cosine c, also depends on the lengths within a band (their squares differ
// by up to 1.41 times), and for a query short against the band they decide:
// a query near the origin wants the band's shortest entries, whatever their
// signs. So a Euclidean scan also keeps the entries whose distance, estimated
// from their length and their count less the margin, could be within the
// band's pool-th estimate (reach_by_estimate). Neither rule alone is enough:
// signs do not estimate the angles of sparse vectors (their zeros share a
// sign), where the count rule keeps every entry; and within one band of
// lengths 1 to 1.18 with queries a fiftieth as long, the count rule alone
// misses 3-6% of the true top 10. Together, in this scan of tenants of 50%
// and 30% of 100,000 raw text embeddings, with queries also scaled by 0.05,
// 0.3 and 3: recall@10 1.000, 15-17% of the larger tenant's entries read,
// 21-23% of the smaller's.
constexpr std::size_t MAX_BANDS = 64;
constexpr std::size_t BAND_ENTRIES = 16;  // times the pool, per band on average
constexpr std::size_t BANDED_LENGTH = 256;            // the least length of a dot-product scan in bands
constexpr std::size_t EUCLIDEAN_BANDED_LENGTH = 384;  // and of a Euclidean one

std::size_t near_by_signs_in_bands(const core::TenantCodes& codes, std::size_t count, const std::int8_t* coded_query,
                                   std::size_t length, std::size_t pool, float query_length, Scratch& scratch) {
    // A Euclidean scan's estimates cost it more per entry, and the smaller
    // the bands, the larger the share they keep: it asks twice the entries,
    // and longer codes.
    const bool euclidean = query_length > 0.0f;
    const std::size_t per_band = (euclidean ? 2 : 1) * BAND_ENTRIES * pool;
    if (count < per_band || length < (euclidean ? EUCLIDEAN_BANDED_LENGTH : BANDED_LENGTH)) return 0;
    // Every entry's band, and the bands' range over the entries with a row
    // (scale not 0); in loops without branches, which the compiler vectorises.
    const float* const scale = codes.scale.data();
    const float* const inv_norm = codes.inv_norm.data();
    scratch.band.resize(count);
    std::uint32_t* const band = scratch.band.data();
    std::uint32_t lowest = UINT32_MAX, highest = 0;
    for (std::size_t entry = 0; entry < count; ++entry) {
        const std::uint32_t b = std::bit_cast<std::uint32_t>(inv_norm[entry]) >> 21;
        // All ones where the scale is not 0 (either sign).
        const std::uint32_t scale_bits = std::bit_cast<std::uint32_t>(scale[entry]) << 1;
        const std::uint32_t scaled = 0u - static_cast<std::uint32_t>(scale_bits != 0);
        band[entry] = b;
        lowest = std::min(lowest, b | ~scaled);
        highest = std::max(highest, b & scaled);
    }
    if (lowest > highest) return 0;
    const std::size_t bands = std::size_t{highest - lowest} + 1;
    if (bands > MAX_BANDS || count < per_band * bands) return 0;
    for (std::size_t entry = 0; entry < count; ++entry) band[entry] = std::clamp(band[entry], lowest, highest) - lowest;

    count_signs_apart(codes, count, coded_query, length, scratch);
    std::uint32_t* const apart = scratch.apart.data();
    // Each band's histogram of counts, then its pool's farthest count.
    // (Four histograms taken in turn, as in near_by_signs.)
    const std::size_t bins = length + 1;
    const std::size_t copy = bands * bins;
    scratch.histogram.assign(4 * copy, 0);
    std::uint32_t* const histogram = scratch.histogram.data();
    for (std::size_t entry = 0; entry < count; ++entry) {
        ++histogram[(entry % 4) * copy + band[entry] * bins + apart[entry]];
    }
    for (std::size_t at = 0; at < copy; ++at) {
        histogram[at] += histogram[copy + at] + histogram[2 * copy + at] + histogram[3 * copy + at];
    }
    scratch.band_limit.assign(bands, 0);
    std::uint32_t* const limit = scratch.band_limit.data();
    // The histograms also tell how many the limits keep: where that is more
    // than half, every code is read, without the passes below.
    std::size_t kept_by_counts = 0;
    for (std::size_t b = 0; b < bands; ++b) {
        limit[b] = pool_limit(histogram + b * bins, length, pool);
        const std::uint32_t* const counts = histogram + b * bins;
        kept_by_counts = std::accumulate(counts, counts + std::min<std::size_t>(limit[b], length) + 1, kept_by_counts);
    }
    if (kept_by_counts > count / 2) return 0;
    // The entries within their band's limit: each count is raised by what
    // its band's limit falls short of the largest, and the selection kernel
    // keeps those within the largest.
    const std::uint32_t widest = *std::max_element(limit, limit + bands);
    for (std::size_t entry = 0; entry < count; ++entry) apart[entry] += widest - limit[band[entry]];
    // A Euclidean scan also keeps the entries within their band's reach by
    // estimate (their counts become 0), the reach taken over the entries the
    // counts keep.
    if (euclidean) {
        scratch.near.resize(scratch.apart.size());
        const std::size_t kept = core::fast_kernels().signs_within(apart, count, widest, scratch.near.data());
        const float* const reach = reach_by_estimate(codes, kept, apart, widest, limit, length, pool, query_length,
                                                     lowest, bands, scratch);
        const float* const reachable = cosines_of_counts(length, scratch) + length + 1;
        const float twice = 2.0f * query_length;
        for (std::size_t entry = 0; entry < count; ++entry) {
            const std::uint32_t b = band[entry];
            // Without a row, the inverse length is 0 and the estimate
            // infinite: not near (unless the band keeps all).
            const float n = 1.0f / inv_norm[entry];
            const float c = reachable[apart[entry] - (widest - limit[b])];
            const std::uint32_t far = 0u - static_cast<std::uint32_t>(!(n * (n - twice * c) <= reach[b]));
            apart[entry] &= far;
        }
    }
    scratch.near.resize(scratch.apart.size());
    const std::size_t selected = core::fast_kernels().signs_within(apart, count, widest, scratch.near.data());
    return selected <= count / 2 ? selected : 0;
}

}  // namespace

bool scan_coded(core::FloatSpan query, core::DistanceMetric metric, const core::PointTable& table,
                std::uint32_t tenant, std::size_t pool, ExactScorer& scorer) {
    if (!has_codes(table, tenant, query.size()) || pool == 0) return false;
    const core::TenantCodes& codes = table.tenants.codes[tenant];
    const std::vector<std::uint32_t>& members = table.tenants.members[tenant];
    float top = 0.0f;
    bool finite = true;
    double squares = 0.0;
    for (const float x : query) {
        squares += static_cast<double>(x) * x;
        const float magnitude = std::fabs(x);
        finite = finite && magnitude <= std::numeric_limits<float>::max();  // false for NaN too
        top = magnitude > top ? magnitude : top;
    }
    if (!finite || !(top > 0.0f)) return false;
    const auto query_length = static_cast<float>(std::sqrt(squares));
    // The query in signed bytes. The codes are offset by 128, so each sum
    // holds 128 * (the query's sum) besides the product.
    Scratch& scratch = thread_scratch();
    scratch.query.assign(codes.stride, 0);
    const auto levels = static_cast<float>(core::TenantCodes::LEVELS);
    const float to_level = levels / top;
    std::int32_t query_sum = 0;
    for (std::size_t i = 0; i < query.size(); ++i) {
        const float level = std::clamp(std::nearbyint(query[i] * to_level), -levels, levels);
        scratch.query[i] = static_cast<std::int8_t>(level);
        query_sum += static_cast<std::int32_t>(level);
    }
    const std::int32_t offset = query_sum * core::TenantCodes::ZERO;
    const float query_scale = top / levels;
    std::vector<Pick>& picks = scratch.picks;
    picks.clear();
    picks.reserve(pool);
    float worst = -std::numeric_limits<float>::infinity();  // the key a candidate must beat

    const core::FastKernels& kernels = core::fast_kernels();
    const std::int8_t* const coded_query = scratch.query.data();
    const std::size_t count = members.size();
    const std::size_t stride = codes.stride;
    // Keys of `n` entries from their sums, entry `at[j]` for sum j (or
    // start + j without `at`), into the picks. The keys are computed in
    // loops without branches, which the compiler vectorises.
    std::int32_t sums[CHOSEN_BLOCK];
    float keys[CHOSEN_BLOCK];
    float gathered_scale[CHOSEN_BLOCK];
    float gathered_inv_norm[CHOSEN_BLOCK];
    auto pick_best = [&](std::size_t n, std::size_t start, const std::uint32_t* at) {
        const float* scale = codes.scale.data() + start;
        const float* inv_norm = codes.inv_norm.data() + start;
        if (at != nullptr) {
            for (std::size_t j = 0; j < n; ++j) {
                gathered_scale[j] = codes.scale[at[j]];
                gathered_inv_norm[j] = codes.inv_norm[at[j]];
            }
            scale = gathered_scale;
            inv_norm = gathered_inv_norm;
        }
        for (std::size_t j = 0; j < n; ++j) keys[j] = static_cast<float>(sums[j] - offset) * scale[j] * query_scale;
        if (metric == core::DistanceMetric::Cosine) {
            for (std::size_t j = 0; j < n; ++j) keys[j] *= inv_norm[j];
        } else if (metric == core::DistanceMetric::Euclidean) {  // |x|^2 - 2 q.x, negated
            for (std::size_t j = 0; j < n; ++j) keys[j] = 2.0f * keys[j] - 1.0f / (inv_norm[j] * inv_norm[j]);
        }
        // Entries without a row (scale 0) are scanned aside: they never win.
        for (std::size_t j = 0; j < n; ++j) keys[j] = unless_unscaled(keys[j], scale[j]);
        for (std::size_t j = 0; j < n; ++j) {
            if (!(keys[j] > worst)) continue;
            const Pick pick{keys[j], static_cast<std::uint32_t>(at != nullptr ? at[j] : start + j)};
            if (picks.size() == pool) {
                std::pop_heap(picks.begin(), picks.end(), Worse{});
                picks.back() = pick;
            } else {
                picks.push_back(pick);
            }
            std::push_heap(picks.begin(), picks.end(), Worse{});
            if (picks.size() == pool) worst = picks.front().key;
        }
    };

    // Where signs choose the entries worth scoring, only those codes are read.
    std::size_t selected = 0;
    if (count > pool && ranks_by_angle(table, metric)) {
        selected = near_by_signs(codes, count, coded_query, query.size(), pool, scratch);
    } else if (count > pool && metric == core::DistanceMetric::DotProduct) {
        selected = near_by_signs_in_bands(codes, count, coded_query, query.size(), pool, 0.0f, scratch);
    } else if (count > pool && metric == core::DistanceMetric::Euclidean) {
        selected = near_by_signs_in_bands(codes, count, coded_query, query.size(), pool, query_length, scratch);
    }
    if (selected != 0) {
        const std::uint32_t* const near = scratch.near.data();
        for (std::size_t start = 0; start < selected; start += CHOSEN_BLOCK) {
            const std::size_t n = std::min(CHOSEN_BLOCK, selected - start);
            kernels.codes_dot(coded_query, codes.values.data(), near + start, n, stride, sums);
            pick_best(n, 0, near + start);
        }
    } else {
        for (std::size_t start = 0; start < count; start += BLOCK) {
            const std::size_t n = std::min(BLOCK, count - start);
            kernels.codes_dot(coded_query, codes.values.data() + start * stride, nullptr, n, stride, sums);
            pick_best(n, start, nullptr);
        }
    }
    for (const Pick& pick : picks) {
        const std::uint32_t slot = members[pick.pos];
        const std::uint32_t row = table.row_of[slot];
        if (row != core::NO_ROW) scorer.add_row(slot, table.rows.upper(row));
    }
    scan_aside(query, table, tenant, scorer);
    return true;
}

}  // namespace karnoxel::index
