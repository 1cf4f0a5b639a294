// The two 16-bit halves in which rows keep their floats (core/table.hpp).
#pragma once

#include <bit>
#include <cstdint>

namespace karnoxel::core {

// A row keeps each float of its vector as two 16-bit halves: the upper one,
// rounded to nearest (the value as a bfloat16: graph walks steer by these,
// reading half the bytes of the floats), and the lower 16 bits of the float.
// Joined, they give the float back bit for bit: its bits are the upper half
// shifted up plus the lower half read as a signed number (the rounding
// carried one into the upper half exactly when that is negative).
inline std::uint16_t upper_half(float x) {
    return static_cast<std::uint16_t>((std::bit_cast<std::uint32_t>(x) + 0x8000u) >> 16);
}
inline std::uint16_t lower_half(float x) {
    return static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(x));
}
inline float join_halves(std::uint16_t upper, std::uint16_t lower) {
    const auto low = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int16_t>(lower)));
    return std::bit_cast<float>((static_cast<std::uint32_t>(upper) << 16) + low);
}
// The value an upper half stands for when steering.
inline float upper_value(std::uint16_t upper) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(upper) << 16);
}

}  // namespace karnoxel::core
