#!/bin/bash
# Lists the stand-in's declarations (functions, struct fields, enum values of
# the framework and kernel names) in the same form as the real-header listing
# of the kmdf-check tool, and compares the two.
#
#   tools/standin-signatures.sh                  # stand-in listing on stdout
#   tools/standin-signatures.sh --compare DIR    # DIR: the kmdf-check tool folder;
#                                                # prints every mismatch, exits 1 on any
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/all.cpp" <<'CPP'
#define OMBREL_DEFINE_GUIDS
#include "platform.h"
#include "bridge_frame.h"
#include "bridge_port_interface.h"
CPP
listing() {
  # Parsed as the real headers are (MSVC's x64 target), so values and types
  # print alike; the stand-in's own C++ compiles for the host elsewhere.
  clang++ --target=x86_64-pc-windows-msvc -std=c++17 -fsyntax-only -Xclang -ast-dump=json \
    -I "$root/host/include" -I "$root/common" "$work/all.cpp" > "$work/standin.json"
  python3 "$1/sigs.py" "$work/standin.json"
}
if [ "${1:-}" = "--compare" ]; then
  tool=${2:?usage: $0 --compare PATH-TO-kmdf-check}
  listing "$tool" > "$work/standin.txt"
  cp "$work/all.cpp" "$root/common/.signature-probe.cpp"
  (cd "$root" && "$tool/real_sigs.sh" common/.signature-probe.cpp > "$work/real.txt") || true
  rm -f "$root/common/.signature-probe.cpp"
  # Two differences are by design and left out: the stand-in's handles are
  # typed (as the WDK's are with STRICT), so each has a struct with one field;
  # and an unnamed union prints with the file it stands in.
  normalise() { grep -v -E '^field [A-Z]+__\.(unused|i) ::' "$1" | sed -E 's/\(unnamed union at [^)]*\)/(unnamed union)/'; }
  normalise "$work/real.txt" > "$work/real.norm"
  normalise "$work/standin.txt" > "$work/standin.norm"
  python3 "$tool/sigs.py" --diff "$work/real.norm" "$work/standin.norm" | tee "$work/diff.txt"
  tail -n 1 "$work/diff.txt" | grep -q '^0 mismatches'
else
  listing "${KMDF_CHECK:-$root/../shared/tools/kmdf-check}"
fi
