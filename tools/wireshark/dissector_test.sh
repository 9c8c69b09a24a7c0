#!/usr/bin/env bash
# The dissector on a capture of the whole system: ombrel-demo runs the garble
# scenario with --capture, and tshark, with ombrel_bridge.lua loaded, must show
# - port 3's set-config as 115200 8N1, answered;
# - every data command on ports 2 to 7 linked to its ACK, and each link
#   mirrored by the answer's link back to a command on the same port;
# - each transfer the scenario injects flagged with the rule it breaks, in the
#   order it sends them, and no other frame flagged as dropped.
# Exits 77 (skipped), saying why, when tshark cannot be had or ombrel-demo
# cannot capture.
#
#   dissector_test.sh OMBREL_DEMO WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
demo=$1
work=$2

if ! command -v tshark >/dev/null; then
  "$here/../install-packages" tshark >/dev/null 2>&1 || true
fi
if ! command -v tshark >/dev/null; then
  echo "skipped: tshark is not installed and could not be (Debian package tshark)"
  exit 77
fi
if ! tshark -v 2>/dev/null | grep -q "with Lua"; then
  echo "skipped: this tshark is built without Lua"
  exit 77
fi
if ! "$demo" --help | grep -q -- "--capture"; then
  echo "skipped: $demo has no --capture option"
  exit 77
fi

rm -rf "$work"
mkdir -p "$work"
capture=$work/garble.pcapng
if ! "$demo" --duration 1 --scale 0.05 --fault garble --capture "$capture" >"$work/demo.log" 2>&1; then
  cat "$work/demo.log"
  echo "FAIL: ombrel-demo --fault garble --capture ended with an error"
  exit 1
fi

# One line per frame of the protocol, tab-separated; two passes, so that a
# command links forward to its answer.
fields=$work/fields.tsv
if ! tshark -2 -X "lua_script:$here/ombrel_bridge.lua" -r "$capture" -Y ombrel -T fields \
    -E separator=/t -E occurrence=f -E aggregator=';' \
    -e frame.number -e ombrel.direction -e ombrel.type -e ombrel.port -e ombrel.config.line \
    -e ombrel.response_in -e ombrel.response_to -e ombrel.dropped -e _ws.expert.message -e _ws.col.Info \
    >"$fields" 2>"$work/tshark.log"; then
  cat "$work/tshark.log"
  echo "FAIL: tshark could not read the capture"
  exit 1
fi
if grep -q "Lua Error" "$fields" "$work/tshark.log"; then
  grep -m 3 "Lua Error" "$fields" "$work/tshark.log"
  echo "FAIL: the dissector raised a Lua error"
  exit 1
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Columns: 1 frame, 2 direction (0: to the bridge), 3 type, 4 port, 5 line,
# 6 answer in, 7 answer to, 8 dropped, 9 expert messages, 10 Info.
set_config=$(awk -F'\t' '$2 == 0 && $3 == "0x02" && $4 == 3' "$fields" | head -n 1)
if [ -z "$set_config" ]; then
  fail "no set-config for port 3 in the capture"
else
  column() { awk -F'\t' -v n="$1" '{ print $n }' <<<"$set_config"; }
  line=$(column 5)
  answer=$(column 6)
  info=$(column 10)
  [ "$line" = "115200 8N1" ] || fail "port 3's set-config shows line settings '$line', not '115200 8N1'"
  [[ "$info" == *"port 3"*"115200 8N1"* ]] || fail "port 3's set-config has Info '$info'"
  [ -n "$answer" ] || fail "port 3's set-config is linked to no answer"
fi

pairing=$(awk -F'\t' '
  $2 == 0 { port[$1] = $4; answer[$1] = $6 }
  $2 == 0 && $3 == "0x01" && $4 >= 2 && $4 <= 7 { commands++; if ($6 == "") { unanswered++; first = first ? first : $1 } }
  $2 == 1 && $7 != "" { link[$1] = $7; answerPort[$1] = $4 }
  END {
    for (a in link) {
      c = link[a]
      if (answer[c] != a || port[c] != answerPort[a]) { bad++; if (!badFirst) badFirst = a }
    }
    printf "%d %d %s %d %s\n", commands, unanswered, first ? first : "-", bad, badFirst ? badFirst : "-"
  }' "$fields")
read -r commands unanswered first_unanswered mismatched first_mismatched <<<"$pairing"
[ "$commands" -gt 0 ] || fail "no data command on ports 2 to 7 in the capture"
[ "$unanswered" -eq 0 ] || fail "$unanswered of $commands data commands on ports 2 to 7 have no answer (first: frame $first_unanswered)"
[ "$mismatched" -eq 0 ] || fail "$mismatched answers link to a command that does not link back (first: frame $first_mismatched)"

# The rules in the order tools/faults sends its malformed transfers.
rules=(
  "Transfer shorter than the 8-byte header"
  "Magic is not 4F 42"
  "Version is not 1"
  "Payload length above 56"
  "Transfer ends before the payload length"
  "Bytes after the frame (one transfer, one frame)"
  "Bytes after the frame (one transfer, one frame)"
  "Port is not a channel 0 to 7"
  "Type the receiver does not take in this direction"
  "Announce not on the device port 0xFF"
  "Announce payload under 12 bytes"
  "Announce revision is not 1"
  "Announce port count is not 8"
  "ACK payload under 4 bytes"
  "NAK payload under 2 bytes"
  "Port is not a channel 0 to 7"
  "Answers no command in flight (port or command differs, or none waits)"
)
dropped=$work/dropped.txt
awk -F'\t' '$8 == 1 { print $2 "|" $9 }' "$fields" >"$dropped"
count=$(wc -l <"$dropped")
if [ "$count" -eq 0 ] || [ $((count % ${#rules[@]})) -ne 0 ]; then
  fail "$count frames flagged as dropped, not a whole number of bursts of ${#rules[@]}"
fi
index=0
while IFS='|' read -r direction messages; do
  rule=${rules[$((index % ${#rules[@]}))]}
  [ "$direction" = 1 ] || fail "dropped frame number $((index + 1)) goes to the bridge: the host sent a frame the bridge drops"
  [[ ";$messages;" == *";$rule: dropped;"* ]] || { fail "dropped frame number $((index + 1)) is flagged '$messages', not '$rule'"; break; }
  index=$((index + 1))
done <"$dropped"

if grep -q "No answer before the host" "$fields"; then
  fail "a command is flagged as unanswered on a bridge that answers everything"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s); the capture and tshark's fields are in $work"
  exit 1
fi
echo "dissector: port 3 at 115200 8N1, $commands data commands paired with their ACKs, $count injected frames flagged with their rules"
