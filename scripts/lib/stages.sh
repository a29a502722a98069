# SPDX-License-Identifier: Apache-2.0
# The check as stages: each one timed against its budget, its output kept
# in a log of its own, and one verdict over all of them at the end.
#
#   stage NAME BUDGET COMMAND...     runs COMMAND as stage NAME and waits
#   stage_bg NAME BUDGET COMMAND...  the same beside what runs already
#   verdict                          waits for every stage, prints the table
#                                    and "N passed, N failed"; fails when a
#                                    stage failed
#
# COMMAND runs in a subshell with errexit set; it may call `skip REASON` to
# end the stage as skipped, and `after NAME` to wait for another stage,
# skipping itself when that one did not pass. BUDGET is in seconds: a stage
# that takes half as long again is named on the verdict line, but does not
# fail for it, since machines are noisy. A stage ends whatever it started
# with start_background (background.sh, which is loaded first). Stages may
# run in lanes of their own (a subshell that runs stages one after another).

stageLogs=${stageLogs:-build/stages}
stageStart=$(date +%s)
rm -rf "$stageLogs"
mkdir -p "$stageLogs"

# skip REASON: ends the calling stage as skipped, saying why.
skip() {
  echo "$*" >"$stageLogs/$stageName.skip"
  exit 77
}

# passed NAME: whether stage NAME has ended and passed.
passed() {
  [ "$(cut -d' ' -f1 "$stageLogs/$1.status" 2>/dev/null)" = passed ]
}

# after NAME: waits until stage NAME has ended; skips unless it passed.
after() {
  until [ -f "$stageLogs/$1.status" ]; do sleep 1; done
  passed "$1" || skip "$1 did not pass"
}

# The seconds of processor time in a file that `times` wrote.
_cpu_seconds() {
  sed -n 's/\([0-9]*\)m\([0-9]*\)\.[0-9]*s/\1 \2/gp' "$1" 2>/dev/null |
    awk '{ for (i = 1; i < NF; i += 2) total += $i * 60 + $(i + 1) } END { print total + 0 }'
}

stage() {
  local name=$1 budget=$2 began status seconds verb
  shift 2
  echo "$name" >>"$stageLogs/order"
  began=$(date +%s)
  echo "== $name (budget $budget s): started at $((began - stageStart)) s"
  # Not `( ... ) || status=$?`: on the left of || errexit is ignored in the
  # whole subshell, set -e inside it or not, and a stage would fail only
  # when its last command did.
  local errexit=false
  [[ $- != *e* ]] || errexit=true
  set +e
  (
    set -euo pipefail
    stageName=$name
    # The processor time it took, its children's included: what it costs
    # the machine whatever else runs beside it.
    trap 'end_backgrounds; times >"$stageLogs/$name.times"' EXIT
    "$@"
  ) >"$stageLogs/$name.log" 2>&1 </dev/null
  status=$?
  ! $errexit || set -e
  seconds=$(($(date +%s) - began))
  case $status in
    0) verb=passed ;;
    77) verb=skipped ;;
    *) verb=failed ;;
  esac
  echo "$verb $seconds $budget $(_cpu_seconds "$stageLogs/$name.times") $status" >"$stageLogs/$name.status"
  case $verb in
    failed) echo "== $name: FAILED (status $status) after $seconds s; its log follows the table" ;;
    skipped) echo "== $name: skipped: $(cat "$stageLogs/$name.skip")" ;;
    *) echo "== $name: passed in $seconds s" ;;
  esac
}

stage_bg() {
  stage "$@" &
}

verdict() {
  local name verb seconds budget cpu passed=0 failed=0 skipped=0 over=() failures=()
  wait
  echo
  printf '%-22s %-8s %8s %8s %8s\n' stage result seconds budget cpu
  while read -r name; do
    read -r verb seconds budget cpu _ <"$stageLogs/$name.status" 2>/dev/null || verb=failed seconds=? budget=? cpu=?
    printf '%-22s %-8s %8s %8s %8s\n' "$name" "$verb" "$seconds" "$budget" "$cpu"
    case $verb in
      passed) passed=$((passed + 1)) ;;
      skipped) skipped=$((skipped + 1)) ;;
      *) failed=$((failed + 1)) failures+=("$name") ;;
    esac
    [ "$seconds" = ? ] || [ $((2 * seconds)) -le $((3 * budget)) ] || over+=("$name $seconds s of $budget s")
  done <"$stageLogs/order"
  for name in ${failures[@]+"${failures[@]}"}; do
    echo
    echo "== $name failed; the end of $stageLogs/$name.log:"
    tail -n 150 "$stageLogs/$name.log" | sed 's/^/   | /'
  done
  echo
  local line="$passed passed, $failed failed"
  [ "$skipped" -eq 0 ] || line+=", $skipped skipped"
  line+=" in $(($(date +%s) - stageStart)) s"
  [ ${#over[@]} -eq 0 ] || line+="; over budget: $(IFS=,; echo "${over[*]}" | sed 's/,/, /g')"
  echo "$line"
  [ "$failed" -eq 0 ]
}
