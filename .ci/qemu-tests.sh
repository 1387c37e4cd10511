#!/usr/bin/env bash
# The QEMU bench: runs the tools in Linux guests on the kernel's own serial drivers -- 16550
# UARTs (8250) and an FTDI USB adapter (ftdi_sio) as QEMU emulates them -- with controllers
# played by the host's jssim. One guest boots for each scenario of tests/qemu/scenarios/; the
# host's half of the bench is tests/qemu/host.sh, the guest's tests/qemu/guest/.
#
# Usage: .ci/qemu-tests.sh [--require] [--keep] BUILD_DIR [SCENARIO...]
#   BUILD_DIR   a Linux build with the tools and tests/qemu/evdev_reader (build/default)
#   SCENARIO    names from tests/qemu/scenarios/ (default: every one not named bench-*; the
#               bench-* ones print figures and run only when named)
#   --require   a missing prerequisite (root, QEMU, busybox, the kernel download) fails the run
#               instead of skipping it; CI sets it, as does JS_QEMU_REQUIRE=1
#   --keep      keep the work directory (consoles, jssim logs, traces) and say where it is
#
# Everything runs inside a private mount namespace in which every serial device of this machine
# is covered by /dev/null (.ci/masked): QEMU opens nothing but the simulators' pseudo-terminals,
# and the mask makes sure of it. The script re-executes itself through .ci/masked and checks,
# inside, that its namespace is not its caller's and that the mask holds.
# Exit status: 0 every scenario passed (or the bench was skipped, saying why), 1 a scenario
# failed, 2 a bad command line.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
readonly repo
# shellcheck source=SCRIPTDIR/../tests/qemu/host.sh
. "$repo/tests/qemu/host.sh"

say() { printf 'qemu-tests: %s\n' "$*"; }
usage() { echo "usage: $0 [--require] [--keep] BUILD_DIR [SCENARIO...]" >&2; exit 2; }

outer=""  # inside the masked namespace: the caller's, which this one must not be
[[ ${1:-} != --inside ]] || { outer=$2; shift 2; }
args=("$@")
require=${JS_QEMU_REQUIRE:-0} keep=0
while [[ ${1:-} == --* ]]; do
  case $1 in --require) require=1 ;; --keep) keep=1 ;; *) usage ;; esac
  shift
done
[[ $# -ge 1 && -d $1 ]] || usage
build=$(cd "$1" && pwd)
shift
names=("$@")

# A prerequisite is missing: a skip that says why, or with --require a failure.
missing() {
  if [[ $require == 1 ]]; then
    say "FAILED: $* (required: --require or JS_QEMU_REQUIRE=1)"
    exit 1
  fi
  say "SKIPPED, nothing run: $* (--require or JS_QEMU_REQUIRE=1 makes this a failure)"
  exit 0
}

# --- Outside: into the masked namespace -----------------------------------------------------

if [[ -z $outer ]]; then
  [[ $(id -u) -eq 0 ]] || missing "not root, so the serial devices cannot be masked"
  command -v unshare >/dev/null || missing "unshare (util-linux) is not installed"
  "$repo/.ci/masked" "$repo/.ci/qemu-tests.sh" --inside "$(readlink /proc/self/ns/mnt)" \
    "${args[@]}" &
  child=$!
  # The run inside ends and cleans up when this script is told to stop.
  trap 'kill -TERM "$child" 2>/dev/null' HUP INT TERM
  while :; do
    wait "$child" && status=0 || status=$?
    kill -0 "$child" 2>/dev/null || break
  done
  ((status != 125)) || missing "the masked namespace could not be made (.ci/masked said why above)"
  exit "$status"
fi

# --- Inside: prerequisites, the guest, the scenarios ------------------------------------------

[[ $(readlink /proc/self/ns/mnt) != "$outer" ]] ||
  { say "not inside a mount namespace of its own; nothing run"; exit 1; }
for device in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA*; do
  [[ ! -e $device || $(stat -L -c %t:%T "$device") == "$(stat -L -c %t:%T /dev/null)" ]] ||
    { say "$device is not covered by /dev/null here; nothing run"; exit 1; }
done

for tool in qemu-system-x86_64 cpio gzip apt-get apt-cache dpkg-deb stty; do
  command -v "$tool" >/dev/null || missing "$tool is not installed (Debian: qemu-system-x86 cpio)"
done
[[ -f $firmware ]] || missing "no $firmware (Debian: qemu-system-data)"
if [[ ! -x /bin/busybox ]] || ldd /bin/busybox >/dev/null 2>&1; then
  missing "no static /bin/busybox (Debian: busybox-static)"
fi
for program in "${guest_programs[@]}" tools/jssim/jssim; do
  [[ -x $build/$program ]] || { say "missing $build/$program (build the default preset)"; exit 1; }
done

if ((${#names[@]} == 0)); then
  for file in "$scenario_dir"/*.sh; do
    file=$(basename "$file" .sh)
    [[ $file == bench-* ]] || names+=("$file")
  done
fi
for name in "${names[@]}"; do
  [[ -f $scenario_dir/$name.sh ]] || { say "no scenario $name in $scenario_dir"; exit 2; }
done

started=$SECONDS
kernel=$(fetch_kernel "$build/qemu-kernel") || missing "no guest kernel (see above)"
kernel_image=$kernel/vmlinux
[[ -f $kernel_image ]] || kernel_image=$kernel/vmlinuz

work=$(mktemp -d /tmp/js-qemu-bench.XXXXXX)
if [[ $keep == 1 ]]; then trap 'say "kept $work"' EXIT; else trap 'rm -rf "$work"' EXIT; fi
build_initramfs "$kernel" || { say "could not build the initramfs"; exit 1; }
say "guest: $(basename "$kernel"), initramfs $(($(stat -c %s "$work/initramfs.gz") / 1024)) KiB," \
    "ready after $((SECONDS - started)) s"

verdicts=() failed=0 scenario_pid=""
# A stop signal ends the scenario under way, which cleans up after itself, and then the run.
stop_run() {
  if [[ -n $scenario_pid ]]; then
    kill -TERM "$scenario_pid" 2>/dev/null || true
    wait "$scenario_pid" || true
  fi
  say "stopped by a signal"
  exit "$1"
}
trap 'stop_run 129' HUP
trap 'stop_run 130' INT
trap 'stop_run 143' TERM
for name in "${names[@]}"; do
  printf '\n--- %s\n' "$name"
  # In the background, so that a signal's trap runs at once rather than after the scenario.
  (run_scenario "$name") &
  scenario_pid=$!
  wait "$scenario_pid" || failed=1
  scenario_pid=""
  verdicts+=("$(cat "$work/$name/verdict" 2>/dev/null || echo "FAIL    $name: no verdict")")
done
printf '\n'
say "results ($((SECONDS - started)) s in all):"
printf '  %s\n' "${verdicts[@]}"
((failed == 0)) || { say "FAILED"; exit 1; }
say "all passed"
