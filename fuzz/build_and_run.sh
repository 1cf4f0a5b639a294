#!/usr/bin/env bash
# Builds the snapshot decoder fuzzer with clang (libFuzzer + ASan + UBSan)
# and runs it: fuzz/build_and_run.sh [seconds] (default 60).
# Any crash, leak, sanitizer report or slow input fails the run; the input
# that caused it is left in fuzz/ as crash-*/leak-*/timeout-* and belongs in
# fuzz/regressions/ once fixed.
set -euo pipefail
cd "$(dirname "$0")"
SECONDS_TO_RUN=${1:-60}
CXX=${CXX:-$(command -v clang++-14 || command -v clang++)}
BUILD=${BUILD:-/tmp/karnoxel-fuzz}
mkdir -p "$BUILD"
SOURCES=(../src/core/distance.cpp ../src/core/kernels.cpp ../src/core/kernels_avx2.cpp ../src/core/kernels_avx512.cpp
         ../src/core/table.cpp ../src/core/random.cpp ../src/core/point.cpp ../src/index/coded_scan.cpp ../src/index/exact.cpp ../src/index/hits.cpp
         ../src/index/builder.cpp ../src/index/hnsw.cpp ../src/index/walk.cpp ../src/index/query.cpp ../src/storage/codec.cpp ../src/storage/files.cpp ../src/storage/rwlock.cpp
         ../src/storage/segment.cpp ../src/parallel/page_filler.cpp ../src/parallel/pool.cpp)
"$CXX" -std=c++20 -O1 -g -I../src -ffp-contract=off -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    snapshot_fuzzer.cpp "${SOURCES[@]}" -lpthread -o "$BUILD/snapshot_fuzzer"
WORK="$BUILD/corpus"
mkdir -p "$WORK"
cp corpus/* regressions/* "$WORK"/ 2>/dev/null || true
# Regressions first: each must pass on its own.
if compgen -G "regressions/*" >/dev/null; then
    "$BUILD/snapshot_fuzzer" -runs=0 regressions/*
fi
ASAN_OPTIONS=detect_leaks=1 "$BUILD/snapshot_fuzzer" "$WORK" -max_total_time="$SECONDS_TO_RUN" \
    -timeout=10 -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1
