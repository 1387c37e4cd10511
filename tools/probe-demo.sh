#!/usr/bin/env bash
# Installs what is missing (tools/setup.sh), builds jsprobe and the controller simulator, then
# shows the probe at work with no hardware: a simulated controller on COM3, COM1 and COM2 absent,
# all in a port directory of its own. Prints jsprobe's exit status (3) and ends with status 0
# when that is what the probe found.
# Usage: tools/probe-demo.sh [build-dir]   (default: build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}

tools/setup.sh

if [ ! -f "$build/build.ninja" ]; then
  if [ "$build" = build/default ]; then
    cmake --preset default >/dev/null
  else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
fi
cmake --build "$build" --target jsprobe jssim >/dev/null

ports=$(mktemp -d)
log=$(mktemp)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill -INT "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$ports" "$log"
}
trap cleanup EXIT

"$build/tools/jssim/jssim" --link "$ports/com3" --quiet >"$log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^jssim: ready' "$log" && break
  sleep 0.05
done
grep -q '^jssim: ready' "$log" || { cat "$log"; echo "the simulator did not start" >&2; exit 1; }

echo "\$ JS_PORT_DIR=$ports $build/probe/jsprobe"
status=0
JS_PORT_DIR="$ports" "$build/probe/jsprobe" || status=$?
echo "jsprobe exit status: $status"
[ "$status" -eq 3 ]
