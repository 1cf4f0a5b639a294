// The HNSW graph over a store's points.
#pragma once

#include <cstdint>
#include <optional>

namespace karnoxel::index {

inline constexpr std::uint64_t DEFAULT_M = 16;
inline constexpr std::uint64_t DEFAULT_EF_CONSTRUCTION = 64;
inline constexpr std::uint64_t DEFAULT_EF_SEARCH = 32;

struct HNSWIndex {
    std::uint64_t m = DEFAULT_M;                              // list capacity base and level distribution base
    std::uint64_t ef_construction = DEFAULT_EF_CONSTRUCTION;  // breadth of the insertion search
    std::uint64_t ef_search = DEFAULT_EF_SEARCH;              // breadth of the layer-0 query search
    std::optional<std::uint64_t> entry_point;                 // point id where walks start; absent when empty
    std::uint64_t max_level = 0;                              // top layer
};

}  // namespace karnoxel::index
