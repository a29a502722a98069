#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# scripts/test's stages: one fails when any of its commands fails, not only
# its last; one that skips says so; the verdict counts each and fails.
set -euo pipefail
root=$1
stageLogs=$(mktemp -d)
trap 'rm -rf "$stageLogs"' EXIT
. "$root/scripts/lib/background.sh"
. "$root/scripts/lib/stages.sh"
failsFirst() { false; true; }
skips() { skip "for a reason"; }
stage first 5 failsFirst >/dev/null
stage skipped 5 skips >/dev/null
stage fine 5 true >/dev/null
line=$(verdict | tail -n 1) && { echo "the verdict passed: $line" >&2; exit 1; }
case $line in
  "1 passed, 1 failed, 1 skipped in "*) ;;
  *) echo "the verdict: $line" >&2; exit 1 ;;
esac
