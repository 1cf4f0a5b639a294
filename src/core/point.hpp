// Points, payload values and the tenant rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace karnoxel::core {

// A string value of at most KEYWORD_MAX_BYTES UTF-8 bytes when made from Python.
struct Keyword {
    std::string value;
    bool operator==(const Keyword&) const = default;
};
// A string value of more than KEYWORD_MAX_BYTES UTF-8 bytes when made from Python.
struct Text {
    std::string value;
    bool operator==(const Text&) const = default;
};

inline constexpr std::size_t KEYWORD_MAX_BYTES = 64;

// One attribute value. The variant order is the snapshot variant index
// (Keyword 0, Text 1, Integer 2, Float 3) and must not change.
using PayloadValue = std::variant<Keyword, Text, std::int64_t, double>;

// Builds Keyword or Text from a string by its byte length.
PayloadValue string_value(std::string text);

// A point's attributes: unique keys, kept sorted by key so lookups are a
// binary search and memory is one small array per point.
struct Payload {
    std::vector<std::pair<std::string, PayloadValue>> entries;  // sorted by key, keys unique

    const PayloadValue* find(std::string_view key) const;
    // Inserts or replaces; a later value for the same key wins.
    void set(std::string key, PayloadValue value);
};

// Builds a payload from entries in arrival order: sorts them by key and keeps
// the last value of every repeated key.
Payload make_payload(std::vector<std::pair<std::string, PayloadValue>> entries);

inline constexpr std::string_view TENANT_KEY = "tenant_id";

// A point as it crosses the store's boundary (upsert, snapshot decode).
struct Point {
    std::uint64_t id = 0;              // the point's identifier
    std::vector<float> vector;         // any length, including 0
    std::unique_ptr<Payload> payload;  // null when stored with payload None
};

// The tenant string of a payload: the "tenant_id" entry when it is a Keyword
// or a Text; nothing for a missing payload, a missing entry or a number.
std::optional<std::string_view> tenant_of(const Payload* payload);

// Whether a point with this payload belongs to `tenant` (byte-exact match).
bool matches_tenant(const Payload* payload, std::string_view tenant);

}  // namespace karnoxel::core
