#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# ends-backgrounds.sh SOURCE-DIR APPLICATION GUARD ORPHAN-REAPER
#
# A script that fails while the application it started runs (alone, or
# under the demo's reaper) leaves neither the application nor its guard
# running, and the key mapping without the remap.
set -euo pipefail
. "$1/scripts/lib/background.sh"
application=$2 guard=$3 reaper=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TARNWICK_HID_STATE_DIR="$work/hid"

for wrapper in "" "$reaper"; do
  status=0
  (
    trap end_backgrounds EXIT
    start_background "$work/out" "$work/err" ${wrapper:+"$wrapper"} "$application" "$guard"
    await_output "$work/out" 'fn remap installed'
    exit 3 # a check of the script's fails
  ) || status=$?
  [ "$status" -eq 3 ] || { echo "the application did not start: $(cat "$work/err")"; exit 1; }
  line=$(grep 'fn remap installed' "$work/out")
  for pid in $(sed 's/^parent-app \([0-9]*\):.* guard \([0-9]*\) watching$/\1 \2/' <<<"$line"); do
    if kill -0 "$pid" 2>/dev/null; then
      echo "left running${wrapper:+ under $wrapper}: pid $pid ($line)"
      exit 1
    fi
  done
  if grep -q 1095216660483 "$TARNWICK_HID_STATE_DIR/UserKeyMapping.json"; then
    echo "the remap was left in${wrapper:+ under $wrapper}"
    exit 1
  fi
done
echo "nothing left behind"
