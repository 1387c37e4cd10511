# shellcheck shell=sh disable=SC3028,SC2034
# (busybox sh keeps $EPOCHREALTIME, as bash does; tool_status and the like are for the scenarios)
# The guest's half of the QEMU bench (busybox sh), sourced by /init and so by every scenario.
#
# The virtio port "bench" (fd 3) carries lines to the host:
#   @@pass NAME[: DETAIL]    a check that held        @@fail NAME: DETAIL    one that did not
#   @@xfail NAME: DETAIL     a known fault, still there (see `known`)
#   @@xpass NAME: REASON     a check marked known that holds now: the mark must go
#   @@info TEXT              a figure for the report  @@end STATUS           the scenario is over
#   @@host REQUEST           the host does something and answers "@@ok TEXT" or "@@fail TEXT":
#       unplug NAME...  plug NAME...   the FTDI adapters (QEMU's device_del / device_add)
#       mark            the host's time now
#       and what the scenario's host side adds (request_VERB, see tests/qemu/host.sh)
# Everything else goes to the console (hvc0), which the host keeps as console.log.
#
# Tools run through start_tool, with standard output and standard error each stamped line by
# line with the guest's time into /tmp/NAME.out and /tmp/NAME.err.

load_modules() {
  for module; do
    insmod "/lib/modules/$module.ko" || echo "insmod $module failed"
  done
}

kernel_arg() { tr ' ' '\n' </proc/cmdline | sed -n "s/^$1=//p"; }

open_bench_port() {
  for _ in $(seq 100); do
    for port in /sys/class/virtio-ports/*; do
      if [ "$(cat "$port/name" 2>/dev/null)" = bench ] && [ -e "/dev/${port##*/}" ] &&
         [ -e /dev/hvc0 ]; then
        exec 3<>"/dev/${port##*/}"
        return 0
      fi
    done
    sleep 0.02
  done
  return 1
}

say() { printf '%s\n' "$*" >&3; }

# host REQUEST...: prints the host's answer; false when the host could not do it.
host() { host_async "$@" && host_answer; }

# host_async REQUEST... then host_answer: the same in two halves, for a request that must go
# out at once while something else is watched; nothing else may be asked in between.
host_async() { say "@@host $*"; }
host_answer() {
  IFS= read -r answer <&3 || return 1
  case $answer in
    "@@ok"*) answer=${answer#@@ok}; printf '%s\n' "${answer# }" ;;
    *) echo "host: ${answer#@@fail }"; return 1 ;;
  esac
}

pass() {
  if [ -n "${known_reason:-}" ]; then
    say "@@xpass $1: holds now, though marked as a known fault ($known_reason)"
    echo "XPASS $1"
  else
    say "@@pass $1${2:+: $2}"
    echo "pass $1${2:+: $2}"
  fi
}
fail() {
  if [ -n "${known_reason:-}" ]; then
    say "@@xfail $1: $2 (known: $known_reason)"
    echo "xfail $1: $2"
  else
    say "@@fail $1: $2"
    echo "FAIL $1: $2"
  fi
}

# known REASON CHECK...: a check of a fault that today's code has. It is reported, but does not
# fail the scenario while it fails; once it holds it fails the scenario, so that the mark goes.
known() {
  known_reason=$1
  shift
  "$@"
  known_reason=""
}
info() { say "@@info $*"; echo "info $*"; }

# check NAME COMMAND...: passes when COMMAND succeeds.
check() {
  name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name" "not true: $*"; fi
}
expect_eq() {
  if [ "$2" = "$3" ]; then pass "$1" "$3"; else fail "$1" "expected '$2', got '$3'"; fi
}
# expect_match NAME EXTENDED-REGEX TEXT
expect_match() {
  if printf '%s\n' "$3" | grep -Eq -- "$2"; then pass "$1"; else fail "$1" "'$3' does not match /$2/"; fi
}
# expect_at_most NAME LIMIT VALUE [UNIT]: numbers, fractions allowed.
expect_at_most() {
  if awk -v v="$3" -v l="$2" 'BEGIN { exit !(v != "" && v + 0 >= 0 && v + 0 <= l + 0) }'; then
    pass "$1" "$3${4:+ $4} (at most $2)"
  else
    fail "$1" "${3:-nothing}${4:+ $4}, more than $2"
  fi
}

expect_at_least() {
  if awk -v v="$3" -v l="$2" 'BEGIN { exit !(v != "" && v + 0 >= l + 0) }'; then
    pass "$1" "$3${4:+ $4} (at least $2)"
  else
    fail "$1" "${3:-nothing}${4:+ $4}, fewer than $2"
  fi
}

now() { printf '%s\n' "$EPOCHREALTIME"; }
# ms FROM TO: milliseconds between two times in seconds; nothing when either is missing.
ms() { [ -n "$1" ] && [ -n "$2" ] && awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", (b - a) * 1000 }'; }

# Copies lines, each after the time it came; line by line, where busybox ts holds them back in
# its buffer until it ends.
stamp() {
  while IFS= read -r text; do printf '%s %s\n' "$EPOCHREALTIME" "$text"; done
}

# The arguments as one shell word each.
quoted() {
  for arg; do printf "'%s' " "$(printf '%s' "$arg" | sed "s/'/'\\\\''/g")"; done
}

# start_tool NAME [--as USER] COMMAND...: in the background, its output stamped (see above).
start_tool() {
  name=$1
  shift
  user=""
  if [ "$1" = --as ]; then user=$2; shift 2; fi
  rm -f "/tmp/$name.o" "/tmp/$name.e" "/tmp/$name.out" "/tmp/$name.err"
  mkfifo "/tmp/$name.o" "/tmp/$name.e"
  stamp <"/tmp/$name.o" >"/tmp/$name.out" &
  stamp <"/tmp/$name.e" >"/tmp/$name.err" &
  if [ -n "$user" ]; then
    # su runs the shell in its own process, and that shell becomes COMMAND: one pid. (busybox
    # su takes options from anywhere on its command line, so COMMAND goes in as one string.)
    su -s /bin/sh "$user" -c "exec $(quoted "$@")" >"/tmp/$name.o" 2>"/tmp/$name.e" &
  else
    "$@" >"/tmp/$name.o" 2>"/tmp/$name.e" &
  fi
  echo $! >"/tmp/$name.pid"
}

# stop_tool NAME [SIGNAL]: signals the tool (none: lets it end), waits for it and leaves its
# exit status in $tool_status. (Not in $(...): only this shell can wait for its children.)
stop_tool() {
  pid=$(cat "/tmp/$1.pid")
  [ -z "${2:-}" ] || kill "-$2" "$pid" 2>/dev/null
  wait "$pid"
  tool_status=$?
  sleep 0.05  # lets stamp write the last lines
}

# wait_tool NAME SECONDS: waits for a tool that should end by itself, and leaves its exit
# status in $tool_status; one that has not ended by then is killed and counts as "hung".
wait_tool() {
  pid=$(cat "/tmp/$1.pid")
  for _ in $(seq "$(($2 * 50))"); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.02
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    wait "$pid"
    tool_status=hung
  else
    wait "$pid"
    tool_status=$?
  fi
  sleep 0.05
}

# wait_for "FILE..." EXTENDED-REGEX SECONDS: until a line of one of the files matches; false
# when none did in time.
wait_for() {
  end=$(awk -v n="$EPOCHREALTIME" -v s="$3" 'BEGIN { printf "%.6f", n + s }')
  # shellcheck disable=SC2086  # a list of files
  while ! grep -Eqs -- "$2" $1; do
    awk -v n="$EPOCHREALTIME" -v e="$end" 'BEGIN { exit !(n < e) }' || return 1
    sleep 0.02
  done
}

# has_all NAME TEXT WORD...: passes when every WORD is a word of TEXT.
has_all() {
  name=$1 all=$2
  shift 2
  for word; do
    case " $all " in *" $word "*) ;; *) fail "$name" "no '$word' in '$all'"; return ;; esac
  done
  pass "$name"
}

# stamp_of FILE EXTENDED-REGEX [N]: the time stamp of the Nth line (default the first) of FILE
# that matches; empty when there are fewer.
stamp_of() { grep -E -- "$2" "$1" | sed -n "${3:-1}p" | cut -d' ' -f1; }

# wait_count FILE EXTENDED-REGEX N SECONDS: until N lines of FILE match.
wait_count() {
  end=$(awk -v n="$EPOCHREALTIME" -v s="$4" 'BEGIN { printf "%.6f", n + s }')
  while [ "$(grep -Ecs -- "$2" "$1")" -lt "$3" ]; do
    awk -v n="$EPOCHREALTIME" -v e="$end" 'BEGIN { exit !(n < e) }' || return 1
    sleep 0.02
  done
}

# kernel_time EXTENDED-REGEX [N]: the guest's time ($EPOCHREALTIME's clock) at which the kernel
# logged its Nth line (default the first) that matches; empty when it logged fewer. The log's
# stamps count from boot; a marker written to the log now ties them to the clock.
kernel_time() {
  echo "<7>bench: clock $EPOCHREALTIME" >/dev/kmsg
  dmesg | awk -v re="$1" -v n="${2:-1}" '
    match($0, /^\[ *[0-9]+\.[0-9]+\] /) {
      t = substr($0, 2, RLENGTH - 3) + 0
      text = substr($0, RLENGTH + 1)
      if (text ~ /^bench: clock /) { split(text, word, " "); offset = word[3] - t }
      else if (text ~ re && ++count == n) found = t
    }
    END { if (found != "" && offset != "") printf "%.6f\n", found + offset }'
}

# lines_between FILE FROM TO: how many lines of FILE were stamped between the two times.
lines_between() { awk -v a="$2" -v b="$3" '$1 > a && $1 < b { n++ } END { print n + 0 }' "$1"; }

# Shows a tool's output on the console, for whoever reads console.log after a failure.
show_tool() {
  for stream in out err; do
    [ -s "/tmp/$1.$stream" ] && sed "s/^/[$1.$stream] /" "/tmp/$1.$stream" | tail -n "${2:-40}"
  done
  return 0
}

# The guest's time in seconds when the adapter NAME has its link (it may take a second to be
# found after boot or a plug); empty when it never came.
wait_adapter() {
  for _ in $(seq 250); do
    [ -e "/dev/adapters/$1" ] && { now; return 0; }
    sleep 0.02
  done
  return 1
}

# The USB port adapter NAME sits on (js.ftdi=NAME:PORT,... on the kernel command line).
adapter_port() { kernel_arg js.ftdi | tr ',' '\n' | sed -n "s/^$1://p"; }

# adapters NAME...: waits for each adapter and gives it a port directory for JS_PORT_DIR,
# /tmp/ports-NAME, in which it is COM1.
adapters() {
  for adapter; do
    wait_adapter "$adapter" >/dev/null || fail "adapter $adapter" "never appeared"
    port_dir "/tmp/ports-$adapter" "1=/dev/adapters/$adapter"
  done
}

# port_dir DIR COM=TARGET...: a port directory for JS_PORT_DIR, comN linked to each target.
port_dir() {
  dir=$1
  shift
  rm -rf "$dir"
  mkdir -p "$dir"
  for pair; do ln -s "${pair#*=}" "$dir/com${pair%%=*}"; done
  chmod 755 "$dir"
}
