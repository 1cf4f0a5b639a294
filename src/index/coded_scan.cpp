#include "index/coded_scan.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
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
};

Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
}

// Entries scored per kernel call.
constexpr std::size_t BLOCK = 256;

}  // namespace

bool scan_coded(core::FloatSpan query, core::DistanceMetric metric, const core::PointTable& table,
                std::uint32_t tenant, std::size_t pool, ExactScorer& scorer) {
    if (!has_codes(table, tenant, query.size()) || pool == 0) return false;
    const core::TenantCodes& codes = table.tenants.codes[tenant];
    const std::vector<std::uint32_t>& members = table.tenants.members[tenant];
    float top = 0.0f;
    bool finite = true;
    for (const float x : query) {
        const float magnitude = std::fabs(x);
        finite = finite && magnitude <= std::numeric_limits<float>::max();  // false for NaN too
        top = magnitude > top ? magnitude : top;
    }
    if (!finite || !(top > 0.0f)) return false;
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

    const core::CodesKernel kernel = core::fast_kernels().codes_dot;
    const std::int8_t* const coded_query = scratch.query.data();
    const std::size_t count = members.size();
    const std::size_t stride = codes.stride;
    std::int32_t sums[BLOCK];
    float keys[BLOCK];
    for (std::size_t start = 0; start < count; start += BLOCK) {
        const std::size_t n = std::min(BLOCK, count - start);
        kernel(coded_query, codes.values.data() + start * stride, n, stride, sums);
        const float* const scale = codes.scale.data() + start;
        const float* const inv_norm = codes.inv_norm.data() + start;
        // Entries without a row (scale 0) are scanned aside: they never win.
        for (std::size_t j = 0; j < n; ++j) {
            const float dot = static_cast<float>(sums[j] - offset) * scale[j] * query_scale;
            float key = dot;
            if (metric == core::DistanceMetric::Cosine) {
                key = dot * inv_norm[j];
            } else if (metric == core::DistanceMetric::Euclidean) {
                key = 2.0f * dot - 1.0f / (inv_norm[j] * inv_norm[j]);  // |x|^2 - 2 q.x, negated
            }
            keys[j] = scale[j] != 0.0f ? key : -std::numeric_limits<float>::infinity();
        }
        for (std::size_t j = 0; j < n; ++j) {
            if (!(keys[j] > worst)) continue;
            const Pick pick{keys[j], static_cast<std::uint32_t>(start + j)};
            if (picks.size() == pool) {
                std::pop_heap(picks.begin(), picks.end(), Worse{});
                picks.back() = pick;
            } else {
                picks.push_back(pick);
            }
            std::push_heap(picks.begin(), picks.end(), Worse{});
            if (picks.size() == pool) worst = picks.front().key;
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
