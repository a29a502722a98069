#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# bundle-guard.sh SOURCE-DIR
#
# scripts/bundle-guard's decisions, on its real path (not --dry-run) with
# stand-ins for swift, lipo and codesign that record their arguments: what
# it builds, where the helper goes, how it is signed and with which
# entitlements, what it refuses and what a dry run leaves. Every path has a
# space in it, the signing identity too.
set -euo pipefail
root=$(mktemp -d "${TMPDIR:-/tmp}/bundle guard.XXXXXX")
trap 'rm -rf "$root"' EXIT

# The script under test in a package folder of its own, whose path has a
# space; it builds the package it sits in.
package="$root/the package"
mkdir -p "$package/scripts" "$root/stubs" "$root/fixtures"
cp "$1/scripts/bundle-guard" "$package/scripts/"
cp "$1/Package.swift" "$package/"
script="$package/scripts/bundle-guard"
products="$root/swift build"

cat >"$root/stubs/stub" <<'EOF'
#!/usr/bin/env bash
# Records its arguments, one a line, in $CALLS/NN.TOOL; then does as much
# of the tool's work as the script relies on.
set -euo pipefail
tool=$(basename "$0")
record=$CALLS/$(printf %02d "$(find "$CALLS" -name '[0-9][0-9].*' ! -name '*.plist' | wc -l)").$tool
printf '%s\n' "$@" >"$record"
previous=""
case $tool in
  swift) # builds a stand-in for the tool in the triple's folder, or names that folder
    for word in "$@"; do [ "$previous" != --triple ] || triple=$word; previous=$word; done
    bin="$STUB_PRODUCTS/$triple/release"
    if [ "${*: -1}" = --show-bin-path ]; then echo "$bin"; else
      mkdir -p "$bin"; echo "guard for $triple" >"$bin/tarnwick-fn-guard"; fi ;;
  lipo) # lipo -create INPUT... -output OUTPUT: the inputs one after the other
    if [ "$1" = -create ]; then
      shift; inputs=()
      while [ "$1" != -output ]; do inputs+=("$1"); shift; done
      cat "${inputs[@]}" >"$2"
    fi ;;
  codesign) # keeps the entitlements, which the script removes once done
    for word in "$@"; do [ "$previous" != --entitlements ] || cp "$word" "$record.plist"; previous=$word; done
    [ -z "${STUB_CODESIGN_FAILS:-}" ] || { echo "codesign: stand-in refusal" >&2; exit 1; } ;;
esac
EOF
chmod +x "$root/stubs/stub"
for tool in swift lipo codesign; do ln -s stub "$root/stubs/$tool"; done

python3 - "$root/fixtures" <<'EOF'
import plistlib, sys
for name, sandboxed in (("sandboxed", True), ("plain", False)):
    with open(f"{sys.argv[1]}/{name}.entitlements", "wb") as f:
        plistlib.dump({"com.apple.security.app-sandbox": sandboxed,
                       "com.apple.security.network.client": True}, f)
EOF

identity="Developer ID Application: Tarnwick Ltd (TEAM123456)"
failures=0
failed() { echo "FAIL $name: $*"; failures=$((failures + 1)); }
args_are() { # RECORD WORD...: the call's arguments are exactly these
  local record=$1; shift
  [ "$(cat "$record")" = "$(printf '%s\n' "$@")" ] ||
    { failed "$(basename "$record") was: $(tr '\n' ' ' <"$record"); wanted: $*"; return 1; }
}
records() { find "$calls" -name "[0-9]*.$1" | sort; } # TOOL: its calls in order

check_universal() {
  local builds=() lipos=() record # (no mapfile: macOS's bash is 3.2)
  while IFS= read -r record; do
    grep -qx -- --show-bin-path "$record" || builds+=("$record")
  done < <(records swift)
  [ ${#builds[@]} -eq 2 ] || { failed "${#builds[@]} swift builds, not 2"; return; }
  args_are "${builds[0]}" build --package-path "$package" -c release --product tarnwick-fn-guard --triple arm64-apple-macosx
  args_are "${builds[1]}" build --package-path "$package" -c release --product tarnwick-fn-guard --triple x86_64-apple-macosx
  while IFS= read -r record; do lipos+=("$record"); done < <(records lipo)
  [ ${#lipos[@]} -eq 2 ] || { failed "${#lipos[@]} lipo calls, not 2"; return; }
  args_are "${lipos[0]}" -create "$products/arm64-apple-macosx/release/tarnwick-fn-guard" \
    "$products/x86_64-apple-macosx/release/tarnwick-fn-guard" -output "$helper"
  args_are "${lipos[1]}" "$helper" -verify_arch arm64 x86_64
  [ "$(cat "$helper" 2>/dev/null)" = "$(printf 'guard for %s-apple-macosx\n' arm64 x86_64)" ] ||
    failed "$helper is not lipo's universal file"
}
signing_record() { # the one codesign call that signs
  local signs=() record
  while IFS= read -r record; do
    if grep -qx -- --sign "$record"; then signs+=("$record"); fi
  done < <(records codesign)
  [ ${#signs[@]} -eq 1 ] || { failed "${#signs[@]} codesign calls that sign, not 1"; return 1; }
  echo "${signs[0]}"
}
check_sandboxed() { # the helper's entitlements: exactly app-sandbox and inherit
  local record; record=$(signing_record) || return
  args_are "$record" --force --sign "$identity" --options runtime --timestamp \
    --entitlements "$(sed -n 8p "$record")" "$helper" || return
  python3 - "$record.plist" <<'EOF' || failed "the helper's entitlements are not app-sandbox and inherit alone"
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    granted = plistlib.load(f)
sys.exit(granted != {"com.apple.security.app-sandbox": True, "com.apple.security.inherit": True})
EOF
}
check_bare() { # signed with the hardened runtime and a timestamp, no entitlements
  local record; record=$(signing_record) || return
  args_are "$record" --force --sign "$identity" --options runtime --timestamp "$helper"
}
check_verified() { # the last call verifies the signed helper
  local last; last=$(find "$calls" -name '[0-9][0-9].*' ! -name '*.plist' | sort | tail -n 1)
  [ "${last##*.}" = codesign ] || { failed "the last call is ${last##*/}, not codesign's verification"; return; }
  args_are "$last" --verify --strict "$helper"
}
check_unsigned() {
  [ -z "$(records codesign)" ] || failed "codesign ran"
  grep -q "unsigned" "$out" || failed "no note that the helper is unsigned"
}
check_untouched() { # nothing ran, and the bundle holds what it held
  [ -z "$(find "$calls" -type f)" ] || failed "ran: $(ls "$calls" | tr '\n' ' ')"
  [ "$(cd "$case" && find 'My App.app' 'Bare App.app' | sort)" = "$before" ] ||
    failed "the bundle changed"
}
check_shown() { # the commands, each path as a shell would take it back
  grep -qxF "codesign --force --sign '$identity' --options runtime --timestamp --entitlements '$case/tmp/bundle-guard.XXXXXX/helper.entitlements' '$helper'" "$out" ||
    failed "no signing command shown exactly"
  grep -qxF "codesign --verify --strict '$helper'" "$out" || failed "no verification shown"
}
check_removed() { # a failed step leaves no helper, nor the folder it made
  [ ! -e "$helpers" ] || failed "$helpers was left"
  [ -s "$err" ] || failed "nothing said on stderr"
}
check_usage() { grep -q "^usage: scripts/bundle-guard APP.app" "$err" || failed "no usage line on stderr"; }
check_refused() { grep -q "no Contents/Info.plist" "$err" || failed "no reason given on stderr"; }

# name | status | environment | arguments | checks. @APP@ is an application
# bundle, @BARE@ a folder without Contents/Info.plist; @ID@ the identity.
cases=(
  "sandboxed        |0 |                                                  |@APP@ --sign @ID@ --entitlements @FIX@/sandboxed.entitlements |universal sandboxed verified"
  "not-sandboxed    |0 |                                                  |@APP@ --sign @ID@ --entitlements @FIX@/plain.entitlements     |universal bare verified"
  "from-xcode       |0 |CODE_SIGN_ENTITLEMENTS=@FIX@/sandboxed.entitlements |@APP@ --sign @ID@                                          |universal sandboxed verified"
  "option-wins      |0 |CODE_SIGN_ENTITLEMENTS=@FIX@/sandboxed.entitlements |@APP@ --sign @ID@ --entitlements @FIX@/plain.entitlements  |bare verified"
  "project-relative |0 |PROJECT_DIR=@ROOT@ CODE_SIGN_ENTITLEMENTS=fixtures/sandboxed.entitlements |@APP@ --sign @ID@              |sandboxed verified"
  "no-entitlements  |0 |                                                  |@APP@ --sign @ID@                                             |universal bare verified"
  "unsigned         |0 |                                                  |@APP@                                                         |universal unsigned"
  "empty-identity   |0 |                                                  |@APP@ --sign @EMPTY@                                          |universal unsigned"
  "no-info-plist    |1 |                                                  |@BARE@ --sign @ID@                                            |untouched refused"
  "dry-run          |0 |                                                  |@APP@ --sign @ID@ --entitlements @FIX@/sandboxed.entitlements --dry-run |untouched shown"
  "codesign-fails   |1 |STUB_CODESIGN_FAILS=1                             |@APP@ --sign @ID@                                             |removed"
  "bad-option       |64|                                                  |@APP@ --deep                                                  |untouched usage"
  "no-application   |64|                                                  |--sign @ID@                                                   |untouched usage"
)

number=0
for row in "${cases[@]}"; do
  IFS='|' read -r name status environment arguments checks <<<"$row"
  name=$(echo $name) status=$(echo $status)
  number=$((number + 1))
  case="$root/case $number"
  calls="$case/calls" out="$case/out" err="$case/err"
  app="$case/My App.app" helpers="$case/My App.app/Contents/Helpers"
  helper="$helpers/tarnwick-fn-guard"
  mkdir -p "$calls" "$case/tmp" "$app/Contents" "$case/Bare App.app/Contents"
  echo '<plist version="1.0"><dict/></plist>' >"$app/Contents/Info.plist"
  before=$(cd "$case" && find 'My App.app' 'Bare App.app' | sort)
  expand() { # a word of the table, its placeholders replaced
    local word=${1//@APP@/$app}
    word=${word//@BARE@/$case/Bare App.app} word=${word//@FIX@/$root/fixtures}
    word=${word//@ROOT@/$root} word=${word//@ID@/$identity} word=${word//@EMPTY@/}
    printf '%s' "$word"
  }
  argv=() env=()
  for word in $arguments; do argv+=("$(expand "$word")"); done
  for word in $environment; do env+=("$(expand "$word")"); done
  actual=0
  (cd "$case" && env PATH="$root/stubs:$PATH" CALLS="$calls" STUB_PRODUCTS="$products" TMPDIR="$case/tmp" \
    ${env[@]+"${env[@]}"} "$script" "${argv[@]}") >"$out" 2>"$err" || actual=$?
  rm -rf "$products"
  before_failures=$failures
  [ "$actual" = "$status" ] || failed "exit status $actual, not $status"
  [ -z "$(ls -A "$case/tmp")" ] || failed "left in TMPDIR: $(ls -A "$case/tmp")"
  for check in $checks; do "check_$check" || true; done
  if [ "$failures" -eq "$before_failures" ]; then
    echo "ok   $name"
  else
    sed 's/^/     stdout: /' "$out"; sed 's/^/     stderr: /' "$err"
  fi
done
[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "all ${#cases[@]} cases passed"
