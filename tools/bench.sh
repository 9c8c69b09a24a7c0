#!/usr/bin/env bash
# Builds Release in build/bench and runs the benchmarks (about a minute);
# arguments go to ombrel-bench (tests/bench/bench.cpp; --help lists them).
# Instruction counts need valgrind on the PATH; without it they are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench --target ombrel-bench -j "$(nproc)" >/dev/null
exec build/bench/tests/bench/ombrel-bench "$@"
