#!/usr/bin/env bash
# The Wine bench: runs the Windows build under Wine against simulated controllers on this
# machine's pseudo-terminals.
#
# Usage: .ci/wine-tests.sh WINDOWS_BUILD LINUX_BUILD [COMMAND ARG...]
#   WINDOWS_BUILD  the windows preset's build (build/windows)
#   LINUX_BUILD    a plain Linux build with tests (build/default): the preload library, the
#                  simulator server and the side-by-side probe tests
#   COMMAND        run this inside the bench instead of the tests (for example
#                  build/default/probe/bench/bench_probe); it finds the bench through the
#                  variables listed at "The bench's environment" below
#
# Wine maps COM names to this machine's serial devices on its own, whatever its prefix says, and
# /dev/ttyS0 here is a real UART that is not ours. So Wine runs only inside a private mount
# namespace in which every serial device is a bind mount of /dev/null, checked device by device
# before Wine starts and again through the running wineserver's own view of the file system.
# Such namespaces nest (CI itself may run inside one), so the check afterwards compares the
# caller's view before and after: a device that was real must still be real. Where the namespace
# cannot be made (not root, unshare or mount refused) nothing runs under Wine: the script says
# why and exits 1. It installs nothing; the caller installs Wine (Debian packages wine, wine64).
#
# Inside, the bench makes a Wine prefix of its own, maps COM1 to COM7, COM10, COM12 and COM255
# to links in a port directory of its own (tests put simulators there), starts the wineserver
# itself with the preload library that gives pseudo-terminals the modem-line calls Wine's serial
# layer makes, and starts the simulator server for the Windows link tests. Everything is stopped and removed
# at the end, whatever happened.
set -euo pipefail

# The Windows test executables, relative to WINDOWS_BUILD.
windows_tests=(
  log/tests/log_tests.exe
  JogShuttle/tests/decoder_tests.exe
  JogShuttle/tests/platform_tests.exe
  JogShuttle/tests/fault/fault_tests.exe
  JogShuttle/tests/link_tests.exe
  JogShuttle/tests/port_stress_tests.exe
  program/tests/program_tests.exe
  tools/jskeys/tests/jskeys_tests.exe
)
# The Linux program that runs jsprobe.exe under Wine next to jsprobe, relative to LINUX_BUILD.
readonly side_by_side=probe/tests/probe_side_by_side_tests
# The Linux program that runs jskeys.exe under Wine against a simulator, relative to LINUX_BUILD.
readonly jskeys_session=tools/jskeys/tests/jskeys_tool_tests
# The Linux program that runs jsmonitor.exe under Wine against a simulator, relative to LINUX_BUILD.
readonly jsmonitor_session=tools/jsmonitor/tests/jsmonitor_tests
readonly preload_lib=tests/wine/libjs_pty_modem_lines.so
readonly simserver=tests/wine/simserver
# Per step; generous for 2 noisy cores.
readonly kTimeout=900
readonly kNullDevice="1:3"  # /dev/null's major:minor, as stat -c %t:%T writes them
# The COM numbers mapped into the bench's port directory.
readonly com_numbers=(1 2 3 4 5 6 7 10 12 255)

say() { printf 'wine-tests: %s\n' "$*"; }

# Lists every serial device that exists right now (globs that match nothing drop out).
serial_devices() {
  local pattern device
  for pattern in /dev/ttyS /dev/ttyUSB /dev/ttyACM /dev/ttyAMA; do
    for device in "$pattern"*; do
      [[ -e $device ]] && printf '%s\n' "$device"
    done
  done
  return 0
}

# True when every serial device under ROOT (default /) is /dev/null; names the first that is not.
all_masked() {
  local root=${1:-} device kind
  while IFS= read -r device; do
    kind=$(stat -L -c %t:%T "$root$device" 2>/dev/null) || kind="unreadable"
    if [[ $kind != "$kNullDevice" ]]; then
      say "$root$device is $kind, not /dev/null ($kNullDevice)"
      return 1
    fi
  done < <(serial_devices)
  [[ $(stat -L -c %t:%T "$root/dev/null") == "$kNullDevice" ]]
}

# --- Inside the namespace -------------------------------------------------------------------
# Exit status: 0 all passed, 1 a test failed, 2 the mask did not hold (nothing was run),
# kCannotMask the mask could not be made (nothing was run).
readonly kCannotMask=75

mask_devices() {
  # Never mask the caller's view: only in a namespace that is not the caller's.
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
}

# Runs one step with a time limit; records PASS, FAIL or TIMEOUT.
results=()
failed=0
run_step() {
  local name=$1 started=$SECONDS status
  shift
  all_masked || { say "the mask no longer holds; stopping"; exit 2; }
  printf '\n--- %s\n' "$name"
  set +e
  timeout -k 10 "$kTimeout" "$@" 2>&1 | tr -d '\r'
  status=${PIPESTATUS[0]}
  set -e
  case $status in
    0) results+=("PASS    $name ($((SECONDS - started)) s)") ;;
    124 | 137) results+=("TIMEOUT $name (after ${kTimeout} s)"); failed=1 ;;
    *) results+=("FAIL    $name (exit status $status)"); failed=1 ;;
  esac
}

inside() {
  local windows=$1 linux=$2
  shift 2
  mask_devices || return $?

  local work
  work=$(mktemp -d /tmp/js-wine-bench.XXXXXX) || return 1
  local prefix=$work/prefix ports=$work/ports server_log=$work/wineserver.log
  mkdir -p "$prefix" "$ports"
  # No Mono or Gecko installers, no menu entries written to $HOME, no display.
  export WINEPREFIX=$prefix WINEDEBUG=-all GTEST_COLOR=no
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
  local preload=$linux/$preload_lib
  server_pid="" simserver_pid=""
  # Stops the server the documented way (never by signal: its services survive SIGTERM), then
  # the simulator server we started, and drops everything.
  # shellcheck disable=SC2064  # the paths are fixed now
  trap "timeout 60 wineserver -k >/dev/null 2>&1 || true
        timeout 60 wineserver -w >/dev/null 2>&1 || true
        [[ -n \$simserver_pid ]] && kill \$simserver_pid 2>/dev/null
        [[ -n \$server_pid ]] && wait \$server_pid 2>/dev/null
        rm -rf '$work'" EXIT

  local started=$SECONDS
  if ! timeout -k 10 600 wineboot --init >/dev/null 2>&1; then
    say "could not create the Wine prefix"
    return 1
  fi
  # COM1 to COM7 (the probe's) and COM10, COM12 and COM255 (names the system knows only as
  # \\.\COMn) name links in our port directory. Wine's mountmgr rewrites dosdevices from this
  # key at every server start, and gives each serial device of the machine the first COM number
  # the key leaves free, so all of these are mapped.
  local n reg=$work/ports.reg
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for n in "${com_numbers[@]}"; do printf '"COM%d"="%s/com%d"\n' "$n" "$ports" "$n"; done
  } >"$reg"
  timeout 120 wine regedit /S "$reg" >/dev/null 2>&1 || { say "could not write the COM mapping"; return 1; }
  timeout 120 wineserver -k >/dev/null 2>&1 || true
  timeout 120 wineserver -w || true
  say "Wine prefix ready in $((SECONDS - started)) s"

  # Our own server, in the foreground so that we know it: it takes a simulator's pseudo-terminal
  # as its controlling terminal and dumps a flood on SIGHUP when one ends, hence the log file.
  LD_PRELOAD=$preload wineserver -f -p 2>"$server_log" &
  server_pid=$!
  LD_PRELOAD=$preload timeout 120 wine cmd /c exit >/dev/null 2>&1 || {
    say "Wine does not start"; return 1; }
  # The server must see the mask too: checked through its own view of the file system.
  if [[ $(readlink "/proc/$server_pid/ns/mnt") != "$(readlink /proc/self/ns/mnt)" ]] ||
     ! all_masked "/proc/$server_pid/root"; then
    say "the wineserver (pid $server_pid) does not see the mask; nothing run"
    return 2
  fi
  for n in "${com_numbers[@]}"; do
    if [[ $(readlink "$prefix/dosdevices/com$n") != "$ports/com$n" ]]; then
      say "COM$n is $(readlink "$prefix/dosdevices/com$n" || echo unmapped), not $ports/com$n"
      return 1
    fi
  done
  say "wineserver $server_pid sees every serial device as /dev/null;" \
      "$(printf 'COM%s ' "${com_numbers[@]}")are $ports/comN"

  local port_file=$work/simserver.port
  "$linux/$simserver" --port-dir "$ports" --port-file "$port_file" &
  simserver_pid=$!
  for _ in $(seq 100); do [[ -s $port_file ]] && break; sleep 0.1; done
  [[ -s $port_file ]] || { say "the simulator server did not start"; return 1; }

  # The bench's environment, for the tests and for COMMAND.
  JS_SIMSERVER_PORT=$(cat "$port_file")
  export JS_SIMSERVER_PORT
  export JS_WINE_PORT_DIR=$ports JS_WINE_PRELOAD=$preload
  export JS_WINE_PROBE=$windows/probe/jsprobe.exe JS_WINE
  export JS_WINE_JSKEYS=$windows/tools/jskeys/jskeys.exe
  export JS_WINE_JSMONITOR=$windows/tools/jsmonitor/jsmonitor.exe
  JS_WINE=$(command -v wine)

  if (($#)); then
    run_step "$*" "$@"
  else
    local test
    for test in "${windows_tests[@]}"; do
      run_step "$test" env LD_PRELOAD="$preload" wine "$windows/$test" --gtest_brief=1
    done
    run_step "jsprobe.exe beside jsprobe" "$linux/$side_by_side" --gtest_brief=1 \
      --gtest_filter='*_Wine'
    run_step "jskeys.exe's dry run" "$linux/$jskeys_session" --gtest_brief=1 \
      --gtest_filter='Wine.*:Wine/*'
    run_step "jsmonitor.exe: state, --list, unplug and return" "$linux/$jsmonitor_session" \
      --gtest_brief=1 --gtest_filter='Wine.*'
  fi
  printf '\n'
  say "results:"
  printf '  %s\n' "${results[@]}"
  if ((failed)); then
    say "the wineserver's last words:"
    tail -n 20 "$server_log" | sed 's/^/  /'
  fi
  return "$failed"
}

# --- Outside: make the namespace, or say why not -------------------------------------------
cannot() {
  say "NOT RUN, nothing run under Wine: $*"
  exit 1
}

main() {
  if [[ $# -ge 3 && $1 == "--in-namespace" ]]; then
    shift
    inside "$@"  # under set -e, its status is the script's
    exit 0
  fi
  if [[ $# -lt 2 ]]; then
    echo "usage: $0 WINDOWS_BUILD LINUX_BUILD [COMMAND ARG...]" >&2
    exit 2
  fi
  local windows linux
  windows=$(cd "$1" && pwd)
  linux=$(cd "$2" && pwd)
  shift 2
  local file
  for file in "${windows_tests[@]/#/$windows/}" "$windows/probe/jsprobe.exe" \
              "$windows/tools/jskeys/jskeys.exe" "$windows/tools/jsmonitor/jsmonitor.exe"; do
    [[ -f $file ]] || { say "missing $file (build the windows preset first)"; exit 1; }
  done
  for file in "$linux/$side_by_side" "$linux/$jskeys_session" "$linux/$jsmonitor_session" \
              "$linux/$preload_lib" "$linux/$simserver"; do
    [[ -f $file ]] || { say "missing $file (build the default preset first)"; exit 1; }
  done

  [[ $(id -u) -eq 0 ]] || cannot "not root, so the serial devices cannot be masked"
  command -v unshare >/dev/null || cannot "unshare (util-linux) is not installed"
  unshare -m --propagation private true 2>/dev/null ||
    cannot "unshare refused a private mount namespace (no CAP_SYS_ADMIN here?)"
  local tool
  for tool in wine wineboot wineserver timeout stat mount; do
    command -v "$tool" >/dev/null || { say "$tool is not installed (Debian: wine wine64)"; exit 1; }
  done

  # The caller's view before: which devices are real here. It may itself be a masked view.
  local device real_before=()
  while IFS= read -r device; do
    [[ $(stat -L -c %t:%T "$device") != "$kNullDevice" ]] && real_before+=("$device")
  done < <(serial_devices)

  local status=0
  JS_WINE_OUTER_NS=$(readlink /proc/self/ns/mnt) \
    unshare -m --propagation private -- "$0" --in-namespace "$windows" "$linux" "$@" ||
    status=$?
  # The mask belonged to the namespace alone: what was real in the caller's view still is.
  for device in "${real_before[@]}"; do
    if [[ $(stat -L -c %t:%T "$device") == "$kNullDevice" ]]; then
      say "$device shows as /dev/null outside the namespace now: the mask leaked"
      exit 1
    fi
  done
  case $status in
    0) say "all passed" ;;
    "$kCannotMask") cannot "a serial device could not be masked" ;;
    *) say "FAILED"; exit 1 ;;
  esac
}

main "$@"
