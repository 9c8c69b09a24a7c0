#!/usr/bin/env bash
# Compiles every driver source against Microsoft's real KMDF 1.15 headers with
# the shared check (../shared/tools/kmdf-check), plainly and with typed
# handles (STRICT), and fails if any file fails either way.
#
#   tools/kmdf-check.sh                 # bus/*.cpp port/*.cpp
#   tools/kmdf-check.sh port/write.cpp  # chosen files
#
# The headers are read where the check keeps them; a copy is made in a
# temporary folder only to restore the case-differing aliases that wdf.h
# includes (a copy of shared/ may hold them as one-line files naming their
# target instead of links). Nothing of the headers enters this project.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
check_dir=${KMDF_CHECK_DIR:-$root/../shared/tools/kmdf-check}
if [ ! -x "$check_dir/check.sh" ]; then
  echo "kmdf-check: $check_dir/check.sh not found" >&2
  exit 2
fi
cd "$root"
files=("$@")
[ ${#files[@]} -gt 0 ] || files=(bus/*.cpp port/*.cpp)

inc=$(mktemp -d)
trap 'rm -rf "$inc"' EXIT
cp -r "$check_dir/inc/." "$inc/"
chmod -R u+w "$inc"
headers="$inc/kmdf/${KMDF_VER:-1.15}"
for alias in "$headers"/*.h; do
  [ -L "$alias" ] && continue
  [ "$(wc -c <"$alias")" -lt 64 ] || continue
  target=$(tr -d '[:space:]' <"$alias")
  if [ -f "$headers/$target" ] && [ "$target" != "$(basename "$alias")" ]; then
    ln -sf "$target" "$alias"
  fi
done

status=0
for flags in "" "-DSTRICT"; do
  echo "kmdf-check ${flags:-(plain)}:"
  out=$(KMDF_INC="$inc" CHECK_FLAGS="$flags" "$check_dir/check.sh" "${files[@]}" 2>&1) || status=1
  printf '%s\n' "$out" | grep -E '^(OK|FAIL) ' || true
  if printf '%s\n' "$out" | grep -q '^FAIL '; then
    printf '%s\n' "$out" | grep -v -E '^(OK|FAIL) ' | head -40
    status=1
  fi
done
exit $status
