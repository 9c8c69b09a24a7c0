#!/usr/bin/env bash
# Runs ombrel-selftest.exe under Wine, headless, in a prefix of its own made
# for the run and removed after it: --help, a bad option and, on a machine
# without the bridge, the no-bridge path, each with its exit status and
# message. Exits 77 (skipped), saying why, when Wine is missing or cannot
# start here.
#
#   wine_test.sh EXE PREFIX
set -uo pipefail
exe=$1
export WINEPREFIX=$2
# It is removed whole: only a folder of that name.
if [[ "$WINEPREFIX" != */wineprefix ]]; then
  echo "wine_test.sh: PREFIX must be a folder named wineprefix" >&2
  exit 2
fi
export WINEDEBUG=-all
# A console program: no display, and no prompt to install Wine's Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

wine=$(command -v wine || command -v wine64 || true)
if [ -z "$wine" ]; then
  echo "skipped: Wine is not installed (Debian packages wine and wine64)"
  exit 77
fi
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# The prefix's server and services end with the test.
trap 'wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1; rm -rf "$WINEPREFIX"' EXIT
# The first run makes the prefix (about 15 s).
if ! boot=$(timeout 300 "$wine" wineboot --init 2>&1); then
  echo "skipped: Wine cannot start here: ${boot:-no output}"
  exit 77
fi

failures=0
# expect STATUS TEXT ARGS...: the program ends with STATUS and prints TEXT.
expect() {
  local status=$1 text=$2
  shift 2
  local output got command="ombrel-selftest${*:+ $*}"
  output=$(timeout 120 "$wine" "$exe" "$@" 2>&1)
  got=$?
  output=${output//$'\r'/}
  if [ "$got" != "$status" ] || [[ "$output" != *"$text"* ]]; then
    echo "FAIL: $command exited $got (expected $status), printing:"
    echo "$output"
    failures=$((failures + 1))
  else
    echo "ok: $command exits $status: $(grep -F -m1 "$text" <<<"$output")"
  fi
}

expect 0 "usage: ombrel-selftest [options]" --help
expect 2 "bad value '8' for --ports" --ports 8
# Wine has no device with the ports' hardware IDs.
expect 3 "No bridge found: no device present has a hardware ID from OMBREL\\PORT_00 to OMBREL\\PORT_07"
exit $((failures != 0))
