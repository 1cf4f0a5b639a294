// The kernel drivers shared by every SIMD instruction set, written once over
// a lane type L that supplies the vector operations:
//
//   Vec, W (floats per vector), set1, add, sub, mul, fmadd, load,
//   load_first(p, count) (the first count < W floats, zeros after),
//   load_upper(p) (W upper halves as floats), join(upper, lower) (W floats
//   joined from their halves), store, transpose(Vec[W]) (W rows in, W
//   columns out), sum (horizontal).
//
// Tails of fewer than W halves are copied into zeroed room first.
//
// Include it only inside a target region of a kernel file (`#pragma GCC
// target`, or clang's `#pragma clang attribute push`), after
// every other header: the templates then take that instruction set, and the
// anonymous namespace keeps each file's copy to itself, so nothing compiled
// with wider instructions can be shared with code that runs without them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/halves.hpp"

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

// Where the exact drivers read a row's values: a float array, or a row kept
// in halves (upper halves at the pointer, lower halves n further).
template <class L>
struct FloatRows {
    using Row = const float*;
    static typename L::Vec load(Row r, std::size_t i, std::size_t) { return L::load(r + i); }
    static typename L::Vec load_first(Row r, std::size_t i, std::size_t, std::size_t count) {
        return L::load_first(r + i, count);
    }
    static void prefetch(Row r, std::size_t i, std::size_t) { __builtin_prefetch(r + i); }
};

template <class L>
struct SplitRows {
    using Row = const std::uint16_t*;
    static typename L::Vec load(Row r, std::size_t i, std::size_t n) { return L::join(r + i, r + n + i); }
    static typename L::Vec load_first(Row r, std::size_t i, std::size_t n, std::size_t count) {
        std::uint16_t upper[L::W] = {}, lower[L::W] = {};
        std::memcpy(upper, r + i, count * sizeof(std::uint16_t));
        std::memcpy(lower, r + n + i, count * sizeof(std::uint16_t));
        return L::join(upper, lower);
    }
    static void prefetch(Row r, std::size_t i, std::size_t n) {
        __builtin_prefetch(r + i);
        __builtin_prefetch(r + n + i);
    }
};

// W rows, one lane each: lane j adds the terms of row j in index order, with
// a separate multiply and add (bit for bit the scalar sum). W rows streamed
// at once are more than the hardware prefetcher follows, so the rows of the
// next block (`next`) are prefetched in step, one cache line per 16 values.
template <class L, class S, bool Diff>
void exact_block(const float* q, const typename S::Row* rows, const typename S::Row* next, std::size_t n,
                 float* out) {
    constexpr std::size_t W = L::W;
    typename L::Vec acc = L::set1(-0.0f);
    typename L::Vec t[W];
    std::size_t i = 0;
    for (; i + W <= n; i += W) {
        if (i % 16 == 0) {
            for (std::size_t j = 0; j < W; ++j) S::prefetch(next[j], i, n);
        }
        for (std::size_t j = 0; j < W; ++j) t[j] = S::load(rows[j], i, n);
        L::transpose(t);
        acc = accumulate<L, Diff>(acc, q + i, t, W);
    }
    if (i < n) {
        for (std::size_t j = 0; j < W; ++j) t[j] = S::load_first(rows[j], i, n, n - i);
        L::transpose(t);
        acc = accumulate<L, Diff>(acc, q + i, t, n - i);
    }
    L::store(out, acc);
}

template <class L, class S, bool Diff>
void exact_rows_of(const float* q, const typename S::Row* rows, std::size_t count, std::size_t n, float* out) {
    constexpr std::size_t W = L::W;
    std::size_t r = 0;
    for (; r + W <= count; r += W) {
        const typename S::Row* next = r + 2 * W <= count ? rows + r + W : rows + r;
        exact_block<L, S, Diff>(q, rows + r, next, n, out + r);
    }
    if (r < count) {
        // Pad the last block with copies of a real row and keep only the real lanes.
        typename S::Row padded[W];
        float lanes[W];
        for (std::size_t j = 0; j < W; ++j) padded[j] = rows[r + (r + j < count ? j : 0)];
        exact_block<L, S, Diff>(q, padded, padded, n, lanes);
        for (std::size_t j = 0; r + j < count; ++j) out[r + j] = lanes[j];
    }
}

template <class L, bool Diff>
void exact_rows(const float* q, const float* const* rows, std::size_t count, std::size_t n, float* out) {
    exact_rows_of<L, FloatRows<L>, Diff>(q, rows, count, n, out);
}

template <class L, bool Diff>
void exact_split_rows(const float* q, const std::uint16_t* const* rows, std::size_t count, std::size_t n,
                      float* out) {
    exact_rows_of<L, SplitRows<L>, Diff>(q, rows, count, n, out);
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

// How the fast kernels read an operand, floats or a row's upper halves: a
// vector's worth at a time, or one value.
template <class L>
struct Floats {
    using Elem = float;
    static typename L::Vec load(const float* p) { return L::load(p); }
    static float value(const float* p) { return *p; }
};

template <class L>
struct Uppers {
    using Elem = std::uint16_t;
    static typename L::Vec load(const std::uint16_t* p) { return L::load_upper(p); }
    static float value(const std::uint16_t* p) { return upper_value(*p); }
};

// The fast pair kernel: U accumulators of fused multiply-adds over U * W
// values at a time, then single vectors, then the tail one value at a time;
// summed pairwise, then across the lanes. Only steers graph walks.
template <class L, std::size_t U, bool Diff, class A, class B>
float fast_pair_of(const typename A::Elem* a, const typename B::Elem* b, std::size_t n) {
    static_assert(U == 1 || U == 2 || U == 4);
    constexpr std::size_t W = L::W;
    typename L::Vec s[U];
    for (auto& v : s) v = L::set1(0.0f);
    constexpr auto step = fused_step<L, Diff>;
    std::size_t i = 0;
    for (; i + U * W <= n; i += U * W) {
        for (std::size_t u = 0; u < U; ++u) s[u] = step(s[u], A::load(a + i + u * W), B::load(b + i + u * W));
    }
    for (; i + W <= n; i += W) s[0] = step(s[0], A::load(a + i), B::load(b + i));
    // The last values one at a time: a partial load copies them into a
    // buffer first (a memcpy call), and around that call the compiler kept
    // the accumulators in memory, zeroing and storing them on every call.
    float tail = 0.0f;
    for (; i < n; ++i) {
        const float x = A::value(a + i);
        const float y = B::value(b + i);
        tail += Diff ? (x - y) * (x - y) : x * y;
    }
    // Pairwise, spelled out: written as loops over the array, the
    // accumulators stayed in memory (zeroed and stored on every call).
    if constexpr (U == 4) {
        s[0] = L::add(L::add(s[0], s[1]), L::add(s[2], s[3]));
    } else if constexpr (U == 2) {
        s[0] = L::add(s[0], s[1]);
    }
    return L::sum(s[0]) + tail;
}

template <class L, std::size_t U, bool Diff>
float fast_pair(const float* a, const float* b, std::size_t n) {
    return fast_pair_of<L, U, Diff, Floats<L>, Floats<L>>(a, b, n);
}

template <class L, std::size_t U>
float fast_dot_upper(const float* a, const std::uint16_t* b, std::size_t n) {
    return fast_pair_of<L, U, false, Floats<L>, Uppers<L>>(a, b, n);
}

template <class L, std::size_t U>
float fast_dot_uppers(const std::uint16_t* a, const std::uint16_t* b, std::size_t n) {
    return fast_pair_of<L, U, false, Uppers<L>, Uppers<L>>(a, b, n);
}

}  // namespace
}  // namespace karnoxel::core
