#!/usr/bin/env bash
# Builds ombrel-demo (Release, in build/demo/) and runs it with the arguments
# given: the whole system against the bridge model, looped-back traffic on
# the eight COM ports, every byte checked. tools/demo.sh --help lists the options.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/demo"
"$root/tools/install-packages" cmake ninja-build g++
generator=()
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  command -v ninja >/dev/null && generator=(-G Ninja)
fi
echo "Building ombrel-demo in build/demo (first time: about a minute) ..." >&2
log="$build/demo-build.log"
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" --target ombrel-demo -j "$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "demo.sh: the build failed (log: $log)" >&2
  exit 2
fi
exec "$build/tools/demo/ombrel-demo" "$@"
