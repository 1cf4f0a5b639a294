// The kernel drivers shared by every SIMD instruction set, written once over
// a lane type L that supplies the vector operations:
//
//   Vec, W (floats per vector), set1, add, sub, mul, fmadd, load,
//   load_first(p, count) (the first count < W floats, zeros after),
//   store, transpose(Vec[W]) (W rows in, W columns out), sum (horizontal).
//
// Include it only inside a target region of a kernel file (`#pragma GCC
// target`, or clang's `#pragma clang attribute push`), after
// every other header: the templates then take that instruction set, and the
// anonymous namespace keeps each file's copy to itself, so nothing compiled
// with wider instructions can be shared with code that runs without them.
#pragma once

#include <cstddef>

namespace karnoxel::core {
namespace {

// acc[lane j] += term of row j, for elements k < count, in index order.
template <class L, bool Diff>
inline typename L::Vec accumulate(typename L::Vec acc, const float* q, const typename L::Vec* cols, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        const typename L::Vec qk = L::set1(q[k]);
        typename L::Vec term;
        if constexpr (Diff) {
            const typename L::Vec d = L::sub(qk, cols[k]);
            term = L::mul(d, d);
        } else {
            term = L::mul(qk, cols[k]);
        }
        acc = L::add(acc, term);
    }
    return acc;
}

// W rows, one lane each: lane j adds the terms of row j in index order, with
// a separate multiply and add (bit for bit the scalar sum). W rows streamed
// at once are more than the hardware prefetcher follows, so the rows of the
// next block (`next`) are prefetched in step, one cache line per 16 floats.
template <class L, bool Diff>
void exact_block(const float* q, const float* const* rows, const float* const* next, std::size_t n, float* out) {
    constexpr std::size_t W = L::W;
    typename L::Vec acc = L::set1(-0.0f);
    typename L::Vec t[W];
    std::size_t i = 0;
    for (; i + W <= n; i += W) {
        if (i % 16 == 0) {
            for (std::size_t j = 0; j < W; ++j) __builtin_prefetch(next[j] + i);
        }
        for (std::size_t j = 0; j < W; ++j) t[j] = L::load(rows[j] + i);
        L::transpose(t);
        acc = accumulate<L, Diff>(acc, q + i, t, W);
    }
    if (i < n) {
        for (std::size_t j = 0; j < W; ++j) t[j] = L::load_first(rows[j] + i, n - i);
        L::transpose(t);
        acc = accumulate<L, Diff>(acc, q + i, t, n - i);
    }
    L::store(out, acc);
}

template <class L, bool Diff>
void exact_rows(const float* q, const float* const* rows, std::size_t count, std::size_t n, float* out) {
    constexpr std::size_t W = L::W;
    std::size_t r = 0;
    for (; r + W <= count; r += W) {
        const float* const* next = r + 2 * W <= count ? rows + r + W : rows + r;
        exact_block<L, Diff>(q, rows + r, next, n, out + r);
    }
    if (r < count) {
        // Pad the last block with copies of a real row and keep only the real lanes.
        const float* padded[W];
        float lanes[W];
        for (std::size_t j = 0; j < W; ++j) padded[j] = rows[r + (r + j < count ? j : 0)];
        exact_block<L, Diff>(q, padded, padded, n, lanes);
        for (std::size_t j = 0; r + j < count; ++j) out[r + j] = lanes[j];
    }
}

template <class L, bool Diff>
inline typename L::Vec fused_step(typename L::Vec acc, typename L::Vec x, typename L::Vec y) {
    if constexpr (Diff) {
        const typename L::Vec d = L::sub(x, y);
        return L::fmadd(d, d, acc);
    } else {
        return L::fmadd(x, y, acc);
    }
}

// The fast pair kernel: U accumulators of fused multiply-adds over U * W
// floats at a time, then single vectors, then the masked tail; summed
// pairwise, then across the lanes. Only steers graph walks.
template <class L, std::size_t U, bool Diff>
float fast_pair(const float* a, const float* b, std::size_t n) {
    constexpr std::size_t W = L::W;
    typename L::Vec s[U];
    for (auto& v : s) v = L::set1(0.0f);
    constexpr auto step = fused_step<L, Diff>;
    std::size_t i = 0;
    for (; i + U * W <= n; i += U * W) {
        for (std::size_t u = 0; u < U; ++u) s[u] = step(s[u], L::load(a + i + u * W), L::load(b + i + u * W));
    }
    for (; i + W <= n; i += W) s[0] = step(s[0], L::load(a + i), L::load(b + i));
    if (i < n) s[1] = step(s[1], L::load_first(a + i, n - i), L::load_first(b + i, n - i));
    for (std::size_t width = U; width > 1; width /= 2) {
        for (std::size_t u = 0; u < width / 2; ++u) s[u] = L::add(s[2 * u], s[2 * u + 1]);
    }
    return L::sum(s[0]);
}

}  // namespace
}  // namespace karnoxel::core
