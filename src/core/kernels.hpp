// Distance kernels chosen once at start-up from the CPU's features.
//
// Exact kernels compute many rows against one query at once, one SIMD lane
// per row, each lane adding its own terms in index order with a separate
// multiply and add: the result is bit-identical to the scalar sums of
// distance.hpp, at SIMD speed. Fast kernels use fused multiply-adds and any
// summation order; they only steer graph walks and builds, and every
// candidate they pick is rescored exactly before it is returned.
//
// KARNOXEL_SIMD=scalar|avx2|avx512 caps the instruction set (for tests and
// for diagnosing a machine); the default is the widest one the CPU has.
#pragma once

#include <cstddef>
#include <cstdint>

namespace karnoxel::core {

// out[r] = rule sum over i < n of the row terms of rows[r] against query.
using RowsKernel = void (*)(const float* query, const float* const* rows, std::size_t count, std::size_t n, float* out);
// The same for rows kept in halves (core/table.hpp): rows[r] points at the
// upper halves of a row, its lower halves follow at rows[r] + n.
using SplitRowsKernel = void (*)(const float* query, const std::uint16_t* const* rows, std::size_t count,
                                 std::size_t n, float* out);
using PairKernel = float (*)(const float* a, const float* b, std::size_t n);
// Approximately sum a[i] * b[i] where a row's values are read from its
// upper halves (bfloat16 values), from either a float query or another row.
using UpperKernel = float (*)(const float* a, const std::uint16_t* b, std::size_t n);
using UppersKernel = float (*)(const std::uint16_t* a, const std::uint16_t* b, std::size_t n);
// out[r] = sum over i < n of query[i] * codes[e * n + i] in 32-bit integers,
// for `count` rows of unsigned 8-bit codes: row e = entries[r], or e = r
// (rows back to back) where `entries` is null; n is a multiple of 64 and at
// most 2^16 (the sums cannot overflow). Listed rows lie apart in memory: a
// kernel asks for each one's lines CODES_AHEAD rows before it sums it.
using CodesKernel = void (*)(const std::int8_t* query, const std::uint8_t* codes, const std::uint32_t* entries,
                             std::size_t count, std::size_t n, std::int32_t* out);

// Measured on 384-byte rows picked from 19 MB of codes: 6 rows ahead left
// the loads waiting, 12 to 48 alike.
inline constexpr std::size_t CODES_AHEAD = 12;

// Asks for the lines of one row of codes.
inline void prefetch_code_row(const std::uint8_t* row, std::size_t n) {
    for (std::size_t line = 0; line < n; line += 64) __builtin_prefetch(row + line);
}

// Asks for the first CODES_AHEAD listed rows: called once before a loop
// whose every step r calls prefetch_listed_row. (Rows back to back are left
// to the hardware's prefetcher; kernels sum them in a loop of their own, so
// that they pay nothing for the list.)
inline void prefetch_first_rows(const std::uint8_t* codes, const std::uint32_t* entries, std::size_t count,
                                std::size_t n) {
    for (std::size_t r = 0; r < CODES_AHEAD && r < count; ++r) {
        prefetch_code_row(codes + std::size_t{entries[r]} * n, n);
    }
}

inline void prefetch_listed_row(const std::uint8_t* codes, const std::uint32_t* entries, std::size_t r,
                                std::size_t count, std::size_t n) {
    if (r + CODES_AHEAD < count) prefetch_code_row(codes + std::size_t{entries[r + CODES_AHEAD]} * n, n);
}

// out[r] = the number of bits in which the query's `words` 64-bit words and
// entry r's differ, for `count` entries kept in blocks of SIGN_BLOCK: a
// block holds its entries' first words side by side, then their second
// words, and so on (signs_index). Whole blocks are measured: `out` has room
// for `count` rounded up to a block.
inline constexpr std::size_t SIGN_BLOCK = 8;

inline std::size_t signs_index(std::size_t entry, std::size_t word, std::size_t words) {
    return (entry / SIGN_BLOCK) * words * SIGN_BLOCK + word * SIGN_BLOCK + entry % SIGN_BLOCK;
}

using SignsKernel = void (*)(const std::uint64_t* query, const std::uint64_t* signs, std::size_t count,
                             std::size_t words, std::uint32_t* out);
// Writes the positions r < count with apart[r] <= limit to `near` in
// increasing order and returns their number; `near` has room for `count`
// rounded up to a block of SIGN_BLOCK (a kernel may write whole blocks).
using WithinKernel = std::size_t (*)(const std::uint32_t* apart, std::size_t count, std::uint32_t limit,
                                     std::uint32_t* near);

struct ExactKernels {
    const char* name;
    RowsKernel dot_rows;     // terms query[i] * row[i]
    RowsKernel sqdiff_rows;  // terms (query[i] - row[i])^2, the difference rounded first
    SplitRowsKernel dot_split;
    SplitRowsKernel sqdiff_split;
};

struct FastKernels {
    const char* name;
    PairKernel dot;     // approximately sum a[i] * b[i]
    PairKernel sqdiff;  // approximately sum (a[i] - b[i])^2
    UpperKernel dot_upper;
    UppersKernel dot_uppers;
    CodesKernel codes_dot;
    SignsKernel signs_apart;
    WithinKernel signs_within;
};

const ExactKernels& exact_kernels();
const FastKernels& fast_kernels();

namespace simd {
// Per instruction set; null where the build or the CPU lacks it.
const ExactKernels* avx2_exact();
const FastKernels* avx2_fast();
const ExactKernels* avx512_exact();
const FastKernels* avx512_fast();
// The AVX2 sign kernels, which the AVX-512 tables share where the CPU has no
// wider instruction for them.
void signs_apart_avx2(const std::uint64_t* query, const std::uint64_t* signs, std::size_t count, std::size_t words,
                      std::uint32_t* out);
std::size_t signs_within_avx2(const std::uint32_t* apart, std::size_t count, std::uint32_t limit,
                              std::uint32_t* near);
}  // namespace simd

}  // namespace karnoxel::core
