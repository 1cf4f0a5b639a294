// libFuzzer target for the snapshot decoder. Every input that decodes is
// then used as a store: encoded again, searched on both routes with every
// metric, upserted into, searched and encoded once more. Nothing may crash,
// leak, hang or trip a sanitizer, and whatever the store encodes must decode.
#include <cstdint>
#include <cstring>
#include <vector>

#include "storage/segment.hpp"
#include "storage/snapshot.hpp"

using namespace karnoxel;

namespace {

std::vector<float> vector_from(const std::uint8_t* data, std::size_t size, std::size_t length, std::size_t salt) {
    std::vector<float> v(length);
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = size == 0 ? 1 : data[(i * 131 + salt) % size];
        v[i] = static_cast<float>(static_cast<int>(b) - 128) / 16.0f;
    }
    return v;
}

void exercise(storage::Segment& segment, const std::uint8_t* data, std::size_t size) {
    const std::size_t dim = segment.points.arena.dim;
    const std::size_t lengths[] = {dim, dim + 1, 0, 3};
    std::optional<std::string_view> tenants[] = {std::nullopt, std::string_view("t")};
    if (!segment.points.tenants.code_of.empty()) tenants[1] = segment.points.tenants.code_of.begin()->first;
    for (std::size_t length : lengths) {
        const std::vector<float> query = vector_from(data, size, length, length);
        for (auto metric :
             {core::DistanceMetric::Cosine, core::DistanceMetric::DotProduct, core::DistanceMetric::Euclidean}) {
            for (const auto& tenant : tenants) {
                for (std::uint64_t limit : {std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{1000}}) {
                    segment.search(storage::SearchRequest{query, limit, metric, tenant});
                }
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = storage::decode_snapshot({data, size});
    if (!decoded.ok()) return 0;
    storage::Segment segment;
    std::swap(segment.points, decoded.value()->points);
    std::swap(segment.index, decoded.value()->index);

    const auto first = storage::encode_snapshot(segment.points, segment.index);
    if (!storage::decode_snapshot({first.data(), first.size()}).ok()) __builtin_trap();
    exercise(segment, data, size);

    // Upsert: existing keys (graph nodes with or without points), new keys,
    // the main length and others.
    std::vector<std::uint64_t> keys{0, 1, 7, 1u << 20};
    if (!segment.points.keys.empty()) keys.push_back(segment.points.keys.back());
    if (segment.index.entry_point) keys.push_back(*segment.index.entry_point);
    std::size_t salt = 0;
    for (std::uint64_t key : keys) {
        for (std::size_t length : {static_cast<std::size_t>(segment.points.arena.dim), std::size_t{2}}) {
            core::Point point;
            point.id = key;
            point.vector = vector_from(data, size, length, ++salt);
            segment.upsert(std::move(point));
        }
    }
    exercise(segment, data, size);
    const auto second = storage::encode_snapshot(segment.points, segment.index);
    if (!storage::decode_snapshot({second.data(), second.size()}).ok()) __builtin_trap();
    return 0;
}
