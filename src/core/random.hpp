// Entropy and keyed hashing shared by the maps of a store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace karnoxel::core {

// 64 bits from the operating system's entropy source (getentropy). Falls
// back to a mix of the clock and addresses if the source fails, so a store
// can always be made; only hash keys and level draws depend on it.
std::uint64_t entropy64();

// A bijective 64-bit mixer (the splitmix64 finaliser).
constexpr std::uint64_t mix64(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// A hash of bytes keyed with a secret per map, so collisions cannot be
// planned from outside the process.
std::uint64_t keyed_hash(std::string_view bytes, std::uint64_t key);

}  // namespace karnoxel::core

namespace karnoxel::core {

// Random bits for the levels of new graph nodes. By default each thread's
// own generator, keyed from the operating system's entropy, so graphs differ
// from run to run. When the environment variable KARNOXEL_SEED holds an
// unsigned integer as a store is created, that store draws a fixed sequence
// instead: the same upserts then give the same graph, answers and snapshot.
class LevelSource {
public:
    static LevelSource from_environment();

    // The bits for the next level; the same value until advance().
    std::uint64_t next() const;
    // The bits from next() were used.
    void advance() { ++count_; }

private:
    bool seeded_ = false;
    std::uint64_t seed_ = 0;
    std::uint64_t count_ = 0;  // draws used so far
};

}  // namespace karnoxel::core
