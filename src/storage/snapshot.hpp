// Snapshot images of a whole store, and the files that hold them.
//
// The image is headerless and schema-less: values follow one another in a
// fixed order. Unsigned integers (and every count and length) are LEB128
// varints, signed integers zigzag varints, floats raw little-endian bit
// patterns, strings a length and UTF-8 bytes, optional values a presence
// byte, maps a count and key/value pairs in any order.
//
//   points map: point id -> (id, vector, optional payload map)
//   index:      m, ef_construction, ef_search, optional entry point,
//               max_level, node map: id -> (id, 16 neighbour lists of ids)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/points.hpp"
#include "core/result.hpp"
#include "index/hnsw.hpp"

namespace karnoxel::storage {

enum class DecodeError { UnexpectedEnd, BadVarint, BadUtf8, BadOption, BadVariant };

std::string_view error_text(DecodeError error);

// Everything a store holds.
struct StoreState {
    core::PointTable points;
    index::HNSWIndex index;
};

core::PodBuffer<std::uint8_t> encode_snapshot(const core::PointTable& points, const index::HNSWIndex& index);

// Decodes an image into a fresh state. Checks the syntax only and keeps what
// it reads (ids that differ from their keys, neighbour ids that name nothing,
// a missing entry point, any parameters). Trailing bytes are ignored.
// Never reserves memory ahead of what the remaining bytes could hold.
core::Result<std::unique_ptr<StoreState>, DecodeError> decode_snapshot(std::span<const std::uint8_t> image);

// Writes an image to `path` atomically: a temporary file in the same folder,
// synced, given the old file's permission bits, renamed over the target, the
// folder synced. Targets that are not regular files (devices, FIFOs), and
// regular targets whose folder refuses a new file, are written in place.
// Returns the failure message, if any.
std::optional<std::string> write_snapshot_file(const std::string& path, std::span<const std::uint8_t> image);

// Reads a whole file. On failure returns the message.
core::Result<core::PodBuffer<std::uint8_t>, std::string> read_snapshot_file(const std::string& path);

}  // namespace karnoxel::storage
