// The scan of a large tenant through its 8-bit codes (core/table.hpp:
// TenantCodes): approximate scores over a quarter of the bytes pick the
// candidates, which are then scored exactly like every other route's. A
// scan that ranks by angle first passes over the entries whose signs differ
// most from the query's, and reads the codes of the rest only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/distance.hpp"
#include "core/table.hpp"
#include "index/exact.hpp"

namespace karnoxel::index {

// Whether the tenant has codes that a query of this length can use.
inline bool has_codes(const core::PointTable& table, std::uint32_t tenant, std::size_t query_length) {
    return tenant != 0 && table.tenants.codes[tenant].stride != 0 && query_length == table.rows.dim;
}

// Whether `metric` ranks the store's rows as cosine does: cosine itself, and
// every metric on rows all of length 1 (normalised embeddings), where the
// dot product is the cosine and the Euclidean distance grows with the angle.
inline bool ranks_by_angle(const core::PointTable& table, core::DistanceMetric metric) {
    return metric == core::DistanceMetric::Cosine || table.rows.unit_count == table.rows.count;
}

// Offers the `pool` members whose codes score best against the query, and
// the tenant's aside points, to `scorer` for exact scores. False, having
// offered nothing, when the query cannot be coded (no codes of its length,
// a zero or non-finite query): the caller then scans exactly.
bool scan_coded(core::FloatSpan query, core::DistanceMetric metric, const core::PointTable& table,
                std::uint32_t tenant, std::size_t pool, ExactScorer& scorer);

}  // namespace karnoxel::index
