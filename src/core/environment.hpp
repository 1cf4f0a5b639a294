// Settings read from environment variables.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace karnoxel::core {

// The value of the environment variable `name` when it is set to a decimal
// unsigned integer that fits 64 bits, and nothing else (no sign, no spaces);
// otherwise none, and the caller keeps its default.
inline std::optional<std::uint64_t> unsigned_setting(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) return std::nullopt;
    const char* end = text + std::strlen(text);
    std::uint64_t value = 0;
    const auto [stop, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || stop != end || stop == text) return std::nullopt;
    return value;
}

}  // namespace karnoxel::core
