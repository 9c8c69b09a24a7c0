#!/usr/bin/env bash
# ombrel-demo --timing, briefly: it must exit 0, name the timing model on its
# first line and under the summary, and count a write that ends ERROR_BUSY as
# busy, never as a failure.
# Usage: timing_check.sh OMBREL_DEMO [OPTION...]   (default: --ports 0,2,6)
set -uo pipefail
demo=$1
shift
[[ $# -gt 0 ]] || set -- --ports 0,2,6
out=$("$demo" --duration 1 --timing "$@")
status=$?
printf '%s\n' "$out"
if [[ $status -ne 0 ]]; then
  echo "timing_check: ombrel-demo --timing exited $status" >&2
  exit 1
fi
first=$(head -n 1 <<<"$out")
if [[ $first != *"timing model: USB 2.0 high speed"* ]]; then
  echo "timing_check: the first line does not name the timing model" >&2
  exit 1
fi
if ! grep -q '^timing model: .*; kernel time scale 1$' <<<"$out"; then
  echo "timing_check: the summary does not name the timing model and the time scale" >&2
  exit 1
fi
if grep -qE '[0-9] x ERROR_BUSY|: ERROR_BUSY' <<<"$out"; then
  echo "timing_check: a busy write was counted as a failure" >&2
  exit 1
fi
