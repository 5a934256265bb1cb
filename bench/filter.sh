#!/usr/bin/env bash
# Filtering benchmark: the real agent on a simulated router (nats-server, cloud simulator) in the
# router's private network namespace, a LAN client in its own namespace on a bridge port, the
# echo responder as upstream. One run measures (see bench/filter_lab.cc):
#   W7         filtering on for the client (loop-back verdicts): the agent's cache-hit p50 at a
#              fixed rate (BENCH_HIT_RATE, 2000) and CPU µs per query of a saturating run, and the
#              standalone zuncore-dns's on the same bridge; targets p50 <= 0.3 ms, CPU <= 1.3x.
#   W9-filter  the cloud's edge service dropping every lookup: BENCH_W9_NAMES (10000) unique names
#              at BENCH_W9_RATE (2500) qps; every query answered within 2 s; agent RSS growth.
#              Real time by default (BENCH_W9_SCALE=1: fail-open after 1.5 s).
# Each load lasts BENCH_SECONDS (3). Builds an optimised tree with the test support in
# $BENCH_BUILD (build/bench-filter).
#
#   bench/filter.sh [--gtest_filter=FilterBench.W7*]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD:-build/bench-filter}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUNCORE_BENCH=ON \
  -DZUNCORE_TESTS=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
if ! ninja -C "$build" bench_filter_lab zuncore zunsim cloudsim zuncore-dns echo_responder \
  >"$build/bench-filter-build.log" 2>&1; then
  tail -20 "$build/bench-filter-build.log" >&2
  exit 1
fi
BENCH_BUILD=$PWD/$build ZC_BUILD_DIR=$PWD/$build "$build/bench/bench_filter_lab" "$@"
