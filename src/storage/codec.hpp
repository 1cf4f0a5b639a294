// Snapshot images of a whole store: bytes <-> state.
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
//
// The image delimits itself: the decoder reads exactly as far as the image
// goes and ignores whatever follows.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "core/buffer.hpp"
#include "core/result.hpp"
#include "core/table.hpp"
#include "index/hnsw.hpp"

namespace karnoxel::storage {

// SourceFailed: the byte source failed (a read error, an interruption); the
// source tells why.
enum class DecodeError { UnexpectedEnd, BadVarint, BadUtf8, BadOption, BadVariant, SourceFailed };

std::string_view error_text(DecodeError error);

// Everything a store holds.
struct StoreState {
    core::PointTable points;
    index::HNSWIndex index;
};

// Where a decoder's bytes come from, when they are not all in memory yet.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Appends at least `want` bytes to `buffer`; false when the source ends
    // first or fails (the bytes it did get are appended all the same).
    virtual bool pull(core::PodBuffer<std::uint8_t>& buffer, std::size_t want) = 0;
    // Whether the last false from pull() was a failure rather than the end.
    virtual bool failed() const = 0;
    // How many bytes the whole source likely holds (a file's size when it
    // was opened), or 0 if unknown. Only a hint: pull() decides.
    virtual std::uint64_t size_hint() const { return 0; }
};

core::PodBuffer<std::uint8_t> encode_snapshot(const core::PointTable& points, const index::HNSWIndex& index);

// Decodes an image into a fresh state. Checks the syntax only and keeps what
// it reads (ids that differ from their keys, any parameters); the graph
// goes through index::GraphBuilder. Reserves memory only for what the bytes
// that have arrived, or the source's size, can hold, and reads nothing past
// the end of the image. From a source, the points are taken as they arrive:
// only the graph's bytes stay in memory until the end.
core::Result<std::unique_ptr<StoreState>, DecodeError> decode_snapshot(std::span<const std::uint8_t> image);
core::Result<std::unique_ptr<StoreState>, DecodeError> decode_snapshot(ByteSource& source);

}  // namespace karnoxel::storage
