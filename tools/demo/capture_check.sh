#!/usr/bin/env bash
# ombrel-demo --capture end to end: the capture of a run in which the bridge
# refuses chunks opens in tshark, with the host's frames going out, the
# bridge's coming in, and its NAKs among them.
#   capture_check.sh OMBREL_DEMO SOURCE_DIR
set -euo pipefail
demo=$1
source_dir=$2
command -v tshark >/dev/null || "$source_dir/tools/install-packages" tshark
capture=$(mktemp --suffix=.pcapng)
trap 'rm -f "$capture"' EXIT
"$demo" --duration 1 --scale 0.05 --fault nak --ports 2-3 --capture "$capture" >/dev/null
packets=$(tshark -r "$capture" -T fields -E separator=/s -e _ws.col.Info -e usb.capdata 2>/dev/null)
expect() {
  if ! grep -Eq "$1" <<<"$packets"; then
    echo "capture_check: no packet shows $2" >&2
    exit 1
  fi
}
expect '^URB_BULK out 4f4201ff7e000000$' "the hello"
expect '^URB_BULK in 4f4201ff7e' "the announce"
expect '^URB_BULK out 4f42010[23]01' "data sent on port 2 or 3"
expect '^URB_BULK in 4f42010[23]80' "an ACK"
expect '^URB_BULK in 4f42010[23]ff' "a NAK"
echo "capture_check: $(wc -l <<<"$packets") packets, hello, announce, data, ACKs and NAKs all shown"
