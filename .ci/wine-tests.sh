#!/usr/bin/env bash
# Runs the Windows test executables that need no serial port under Wine.
#
# Usage: .ci/wine-tests.sh BUILD_DIR      (the windows preset's build, e.g. build/windows)
#
# Wine maps COM names to this machine's serial devices on its own, whatever its prefix says, and
# /dev/ttyS0 here is a real UART that is not ours. So Wine runs only inside a private mount
# namespace in which every /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* is a bind mount of
# /dev/null, checked device by device before Wine first starts. Where that namespace cannot be
# made (not root, unshare or mount refused), nothing runs under Wine: the script says why and
# exits 0. It installs nothing; the caller installs Wine (Debian packages wine and wine64).
set -euo pipefail

# The executables that need no serial port, relative to BUILD_DIR.
tests=(
  log/tests/log_tests.exe
  JogShuttle/tests/decoder_tests.exe
  JogShuttle/tests/platform_tests.exe
)
# Per executable, prefix creation included; generous for 2 noisy cores.
readonly kTimeout=600
readonly kNullDevice="1:3"  # /dev/null's major:minor, as stat -c %t:%T writes them

say() { printf 'wine-tests: %s\n' "$*"; }

# Lists every serial device that exists right now (globs that match nothing drop out).
serial_devices() {
  local pattern device
  for pattern in /dev/ttyS /dev/ttyUSB /dev/ttyACM; do
    for device in "$pattern"*; do
      [[ -e $device ]] && printf '%s\n' "$device"
    done
  done
  return 0
}

# True when every serial device that exists now is /dev/null; names the first one that is not.
all_masked() {
  local device kind
  while IFS= read -r device; do
    kind=$(stat -L -c %t:%T "$device" 2>/dev/null) || kind="unreadable"
    if [[ $kind != "$kNullDevice" ]]; then
      say "$device is $kind, not /dev/null ($kNullDevice)"
      return 1
    fi
  done < <(serial_devices)
  [[ $(stat -L -c %t:%T /dev/null) == "$kNullDevice" ]]
}

# --- Inside the namespace -------------------------------------------------------------------
# Exit status: 0 all passed, 1 a test failed, 2 the mask did not hold (nothing was run),
# kCannotMask the mask could not be made (nothing was run).
readonly kCannotMask=75
inside() {
  local build=$1
  # Never mask the machine's own view: only in a namespace that is not the caller's.
  if [[ -z ${JS_WINE_OUTER_NS:-} || $(readlink /proc/self/ns/mnt) == "$JS_WINE_OUTER_NS" ]]; then
    say "not inside a mount namespace of its own; refusing to mount anything"
    return 2
  fi

  local device masked=0
  while IFS= read -r device; do
    if ! mount --bind /dev/null "$device"; then
      say "could not mask $device (mount --bind refused)"
      return "$kCannotMask"
    fi
    masked=$((masked + 1))
  done < <(serial_devices)
  # Checked again from scratch, so that a device that appeared meanwhile counts too.
  if ! all_masked; then
    say "the serial devices are not all masked; nothing run under Wine"
    return 2
  fi
  say "masked $masked serial device(s) with /dev/null in mount namespace" \
      "$(readlink /proc/self/ns/mnt): $(serial_devices | tr '\n' ' ')"

  # Only now is Wine started, with a prefix of its own and no display.
  local prefix
  prefix=$(mktemp -d /tmp/js-wine-prefix.XXXXXX) || return 1
  # No Mono or Gecko installers, no menu entries written to $HOME.
  export WINEPREFIX=$prefix WINEDEBUG=-all GTEST_COLOR=no
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
  # Ends the prefix's server (it fails when the server has already gone: fine) and drops it.
  # shellcheck disable=SC2064  # the prefix is fixed now
  trap "timeout 60 wineserver -k >/dev/null 2>&1 || true
        timeout 60 wineserver -w >/dev/null 2>&1 || true
        rm -rf '$prefix'" EXIT

  local started=$SECONDS
  if ! timeout -k 10 "$kTimeout" wineboot --init >/dev/null 2>&1; then
    say "could not create the Wine prefix"
    return 1
  fi
  timeout 120 wineserver -w || true  # the prefix's last writes happen in the background
  say "Wine prefix ready in $((SECONDS - started)) s"

  local test status failed=0 results=()
  for test in "${tests[@]}"; do
    all_masked || { say "the mask no longer holds; stopping"; return 2; }
    printf '\n--- %s\n' "$test"
    started=$SECONDS
    set +e
    timeout -k 10 "$kTimeout" wine "$build/$test" --gtest_brief=1 2>&1 | tr -d '\r'
    status=${PIPESTATUS[0]}
    set -e
    case $status in
      0) results+=("PASS    $test ($((SECONDS - started)) s)") ;;
      124 | 137) results+=("TIMEOUT $test (after ${kTimeout} s)"); failed=1 ;;
      *) results+=("FAIL    $test (exit status $status)"); failed=1 ;;
    esac
  done
  printf '\n'
  say "results:"
  printf '  %s\n' "${results[@]}"
  return "$failed"
}

# --- Outside: make the namespace, or say why not -------------------------------------------
skip() {
  say "SKIPPED, nothing run under Wine: $*"
  exit 0
}

main() {
  if [[ $# -eq 2 && $1 == "--in-namespace" ]]; then
    inside "$2"  # under set -e, its status is the script's
    exit 0
  fi
  if [[ $# -ne 1 ]]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
  fi
  local build
  build=$(cd "$1" && pwd)
  local test
  for test in "${tests[@]}"; do
    [[ -f $build/$test ]] || { say "missing $build/$test (build the windows preset first)"; exit 1; }
  done

  [[ $(id -u) -eq 0 ]] || skip "not root, so the serial devices cannot be masked"
  command -v unshare >/dev/null || skip "unshare (util-linux) is not installed"
  unshare -m --propagation private true 2>/dev/null ||
    skip "unshare refused a private mount namespace (no CAP_SYS_ADMIN here?)"
  local tool
  for tool in wine wineboot wineserver timeout stat mount; do
    command -v "$tool" >/dev/null || { say "$tool is not installed (Debian: wine wine64)"; exit 1; }
  done

  local outer status=0
  outer=$(readlink /proc/self/ns/mnt)
  JS_WINE_OUTER_NS=$outer unshare -m --propagation private -- "$0" --in-namespace "$build" ||
    status=$?
  # The mask belonged to the namespace alone: the machine's own view must be untouched.
  local device
  while IFS= read -r device; do
    if [[ $(stat -L -c %t:%T "$device") == "$kNullDevice" ]]; then
      say "$device shows as /dev/null outside the namespace: the mask leaked"
      exit 1
    fi
  done < <(serial_devices)
  case $status in
    0) say "all passed" ;;
    "$kCannotMask") skip "a serial device could not be masked" ;;
    *) say "FAILED"; exit 1 ;;
  esac
}

main "$@"
