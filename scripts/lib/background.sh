# SPDX-License-Identifier: Apache-2.0
# Programs the scripts run in the background, and their end.
#
# A script that starts them with start_background and calls end_backgrounds
# from its EXIT trap leaves none running, however it ends: each gets a
# normal quit (SIGTERM), on which an application restores the key mapping
# and ends its guard, and is reaped.

backgrounds=()

# start_background OUT ERR COMMAND...
# Runs COMMAND in the background, its output in OUT and ERR; $! is its pid.
start_background() {
  local out=$1 err=$2
  shift 2
  "$@" >"$out" 2>"$err" &
  backgrounds+=("$!")
}

# end_backgrounds: ends every program start_background started that still
# runs; one that does not quit within ten seconds is killed.
end_backgrounds() {
  local pid _
  for pid in ${backgrounds[@]+"${backgrounds[@]}"}; do
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null && sleep 0.05 || break; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  backgrounds=()
}

# await_output FILE PATTERN: waits up to ten seconds for a line of FILE to
# match PATTERN; fails when none does.
await_output() {
  local _
  for _ in $(seq 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
