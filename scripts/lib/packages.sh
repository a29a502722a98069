# SPDX-License-Identifier: Apache-2.0
# need_packages DEBIAN-PACKAGE... -- BREW-FORMULA...
#
# Installs what is missing: on Debian the packages before "--", as root with
# apt-get (otherwise it prints the command to run and fails); on macOS the
# Homebrew formulae after it, with brew (without brew, it prints the command
# and fails).
need_packages() {
  local debian=() brew=() missing=() pkg
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do debian+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  brew=("$@")
  if [ "$(uname -s)" = Darwin ]; then
    for pkg in "${brew[@]}"; do
      command -v brew >/dev/null 2>&1 && brew list --formula "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! command -v brew >/dev/null 2>&1; then
      echo "missing formulae; install Homebrew, then run: brew install ${missing[*]}" >&2
      exit 1
    fi
    echo "installing: ${missing[*]}"
    brew install --quiet "${missing[@]}"
    return
  fi
  for pkg in "${debian[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages; run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
