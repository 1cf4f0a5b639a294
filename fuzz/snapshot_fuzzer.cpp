// libFuzzer target for the snapshot decoder. Every input that decodes is
// then used as a store: encoded again, searched on both routes with every
// metric, upserted into, searched and encoded once more. Nothing may crash,
// leak, hang or trip a sanitizer, whatever the store encodes must decode,
// and a store and its save-then-load copy must answer every query alike
// (ids, score bits, order), before and after the upserts.
#include <cstdint>
#include <cstring>
#include <vector>

#include "storage/codec.hpp"
#include "storage/segment.hpp"

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

using Answers = std::vector<std::vector<index::SearchHit>>;

// Queries of the lengths around `dim` with every metric, limit, no tenant
// and `tenant`.
Answers exercise(const storage::Segment& segment, std::size_t dim, std::string_view tenant, const std::uint8_t* data,
                 std::size_t size) {
    Answers answers;
    const std::size_t lengths[] = {dim, dim + 1, 0, 3};
    const std::optional<std::string_view> tenants[] = {std::nullopt, tenant};
    for (std::size_t length : lengths) {
        const std::vector<float> query = vector_from(data, size, length, length);
        for (auto metric :
             {core::DistanceMetric::Cosine, core::DistanceMetric::DotProduct, core::DistanceMetric::Euclidean}) {
            for (const auto& tenant : tenants) {
                for (std::uint64_t limit : {std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{1000}}) {
                    answers.push_back(segment.search(index::Query{query, limit, metric, tenant}));
                }
            }
        }
    }
    return answers;
}

bool same(const Answers& a, const Answers& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].size() != b[i].size()) return false;
        for (std::size_t j = 0; j < a[i].size(); ++j) {
            if (a[i][j].id != b[i][j].id || std::memcmp(&a[i][j].score, &b[i][j].score, sizeof(float)) != 0) {
                return false;
            }
        }
    }
    return true;
}

// Encodes the store, decodes the image into a second store, and checks that
// both answer alike.
void check_round_trip(const storage::Segment& segment, const std::uint8_t* data, std::size_t size) {
    const auto image = storage::encode_snapshot(segment.points, segment.index);
    auto decoded = storage::decode_snapshot({image.data(), image.size()});
    if (!decoded.ok()) __builtin_trap();
    storage::Segment copy;
    std::swap(copy.points, decoded.value()->points);
    std::swap(copy.index, decoded.value()->index);
    const std::size_t dim = segment.points.rows.dim;
    const auto& tenants = segment.points.tenants.code_of;
    const std::string tenant = tenants.empty() ? "t" : tenants.begin()->first;
    if (!same(exercise(segment, dim, tenant, data, size), exercise(copy, dim, tenant, data, size))) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = storage::decode_snapshot({data, size});
    if (!decoded.ok()) return 0;
    storage::Segment segment;
    std::swap(segment.points, decoded.value()->points);
    std::swap(segment.index, decoded.value()->index);

    check_round_trip(segment, data, size);

    // Upsert: existing keys (graph nodes with or without points), new keys,
    // the main length and others.
    std::vector<std::uint64_t> keys{0, 1, 7, 1u << 20};
    if (!segment.points.keys.empty()) keys.push_back(segment.points.keys.back());
    std::size_t salt = 0;
    for (std::uint64_t key : keys) {
        for (std::size_t length : {static_cast<std::size_t>(segment.points.rows.dim), std::size_t{2}, std::size_t{0}}) {
            core::Point point;
            point.id = key;
            point.vector = vector_from(data, size, length, ++salt);
            segment.upsert(std::move(point));
        }
    }
    check_round_trip(segment, data, size);
    return 0;
}
