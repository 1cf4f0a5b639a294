#include "core/random.hpp"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <random>

#include "core/environment.hpp"

namespace karnoxel::core {

std::uint64_t entropy64() {
    std::uint64_t value = 0;
    if (getentropy(&value, sizeof value) == 0) return value;
    static int anchor;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return mix64(now ^ reinterpret_cast<std::uintptr_t>(&anchor) ^ reinterpret_cast<std::uintptr_t>(&value));
}

std::uint64_t keyed_hash(std::string_view bytes, std::uint64_t key) {
    std::uint64_t h = mix64(key ^ (bytes.size() * 0x9e3779b97f4a7c15ULL));
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        h = mix64(h ^ word) + key;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
    return mix64(h ^ tail ^ key);
}

LevelSource LevelSource::from_environment() {
    LevelSource source;
    if (const std::optional<std::uint64_t> seed = unsigned_setting("KARNOXEL_SEED")) {
        source.seeded_ = true;
        source.seed_ = *seed;
    }
    return source;
}

std::uint64_t LevelSource::next() const {
    if (seeded_) return mix64(seed_ ^ mix64(count_ + 0x9e3779b97f4a7c15ULL));
    thread_local std::mt19937_64 generator(entropy64());
    return generator();
}

}  // namespace karnoxel::core
