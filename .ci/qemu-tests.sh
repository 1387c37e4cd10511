#!/usr/bin/env bash
# shellcheck disable=SC2317  # the machine and host_after API: called from the scenario files
# The QEMU bench: runs the tools in a Linux guest on the kernel's own serial drivers -- 16550
# UARTs (8250) and an FTDI USB adapter (ftdi_sio) as QEMU emulates them -- with controllers
# played by the host's jssim.
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
#
# The guest: Debian's own kernel (the package linux-image-amd64 depends on, fetched once with
# apt-get download into BUILD_DIR/qemu-kernel and booted through its PVH entry, which skips the
# slow decompression under TCG), and an initramfs made here of busybox, the tools with the
# shared libraries ldd lists, a few modules, tests/qemu/guest/ and the scenarios. The guest's
# console is a virtio console (hvc0), never a port a scenario probes; a second virtio port,
# "bench", carries the scenario's requests and results (lines starting with @@, see
# tests/qemu/guest/bench.sh).
#
# A scenario file is read by both sides: on the host `machine` says what the guest gets (UARTs,
# FTDI adapters, the controllers on them) and `host_after` checks what only the host can see;
# in the guest `guest` runs the steps and reports each check. Exit status: 0 every scenario
# passed (or the bench was skipped, saying why), 1 a scenario failed, 2 a bad command line.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
readonly repo
readonly scenario_dir=$repo/tests/qemu/scenarios
readonly guest_dir=$repo/tests/qemu/guest
readonly kNullDevice="1:3"  # /dev/null's major:minor, as stat -c %t:%T writes them
readonly firmware=/usr/share/qemu/qboot.rom  # Debian: qemu-system-data, with qemu-system-x86
# Generous for 2 busy cores: a scenario that has not ended by then has hung.
readonly kScenarioTimeout=150
# The modules the guest loads, in this order (insmod knows no dependencies).
readonly guest_modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci
                        virtio_console usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio
                        uinput evdev)
# The programs the guest gets, relative to BUILD_DIR.
readonly guest_programs=(probe/jsprobe tools/jsmonitor/jsmonitor tools/jskeys/jskeys
                         tests/qemu/evdev_reader)

say() { printf 'qemu-tests: %s\n' "$*"; }

require=${JS_QEMU_REQUIRE:-0}
keep=0

# A prerequisite is missing: a skip that says why, or with --require a failure.
missing() {
  if [[ $require == 1 ]]; then
    say "FAILED: $* (required: --require or JS_QEMU_REQUIRE=1)"
    exit 1
  fi
  say "SKIPPED, nothing run: $* (--require or JS_QEMU_REQUIRE=1 makes this a failure)"
  exit 0
}

serial_devices() {
  local device
  for device in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA*; do
    [[ -e $device ]] && printf '%s\n' "$device"
  done
  return 0
}

# --- The kernel and the initramfs -----------------------------------------------------------

# Prints the directory that holds the kernel that linux-image-amd64 depends on: vmlinuz, vmlinux
# where it could be unpacked, and modules/ with the guest's modules. Fetches it the first time,
# and again when a module the guest needs is not there; keeps nothing else of the package
# (its modules alone come to some 400 MB).
fetch_kernel() {
  local cache=$1 package
  package=$(apt-cache depends linux-image-amd64 2>/dev/null |
            awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }') || true
  if [[ -z $package ]]; then
    # No package lists (a fresh machine before apt-get update): a kernel fetched before will do.
    package=$(find "$cache" -mindepth 1 -maxdepth 1 -type d -name 'linux-image-*' -printf '%f\n' \
              2>/dev/null | sort | tail -n 1)
    [[ -n $package ]] || { say "apt-cache names no kernel for linux-image-amd64 (apt-get update?)" >&2; return 1; }
  fi
  local dir=$cache/$package module
  for module in "${guest_modules[@]}"; do
    [[ -f $dir/modules/$module.ko ]] || rm -f "$dir/ready"
  done
  if [[ ! -f $dir/ready ]]; then
    say "fetching $package into $cache (once)" >&2
    rm -rf "$dir" && mkdir -p "$dir/deb"
    (cd "$dir/deb" && apt-get download -o APT::Sandbox::User=root "$package" >/dev/null) ||
      { say "apt-get download $package failed" >&2; return 1; }
    dpkg-deb -x "$dir"/deb/*.deb "$dir/root" || { say "dpkg-deb could not unpack $package" >&2; return 1; }
    rm -rf "$dir/deb"
    # The compressed kernel (xz) takes about 3 s to unpack itself under TCG at every boot; the
    # ELF inside it boots at once through its PVH entry note.
    local image offset
    image=$(find "$dir/root/boot" -name 'vmlinuz-*' | head -n 1)
    [[ -n $image ]] || { say "$package holds no vmlinuz" >&2; return 1; }
    mv "$image" "$dir/vmlinuz"
    image=$dir/vmlinuz
    mkdir -p "$dir/modules"
    for module in "${guest_modules[@]}"; do
      find "$dir/root/lib/modules" -name "$module.ko" -exec cp {} "$dir/modules/" \;
      [[ -f $dir/modules/$module.ko ]] || { say "$package has no module $module" >&2; return 1; }
    done
    rm -rf "$dir/root"
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$image" | head -n 1 | cut -d: -f1) || true
    if [[ -n $offset ]] && command -v xz >/dev/null; then
      tail -c +"$((offset + 1))" "$image" | xz -dc >"$dir/vmlinux" 2>/dev/null || true
      [[ $(head -c 4 "$dir/vmlinux" | od -An -tx1 | tr -d ' ') == 7f454c46 ]] || rm -f "$dir/vmlinux"
    fi
    [[ -f $dir/vmlinux ]] || say "no ELF kernel unpacked (xz missing?): booting the compressed one, slower" >&2
    touch "$dir/ready"
  fi
  printf '%s\n' "$dir"
}

# Builds the guest's initramfs into $work/initramfs.gz.
build_initramfs() {
  local build=$1 kernel=$2 root=$work/initramfs
  mkdir -p "$root"/{bin,usr/bin,dev,proc,sys,tmp,etc,lib/modules,bench/scenarios}
  cp /bin/busybox "$root/bin/busybox"
  local applet program library module
  for applet in $(/bin/busybox --list); do
    [[ $applet == busybox ]] || ln -s busybox "$root/bin/$applet"
  done
  for program in "${guest_programs[@]}"; do
    cp "$build/$program" "$root/usr/bin/"
  done
  # The shared libraries at the paths ldd gives, the loader included.
  for library in $(ldd "${guest_programs[@]/#/$build/}" |
                   awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// && $1 !~ /:$/ { print $1 }' |
                   sort -u); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
  for module in "${guest_modules[@]}"; do
    cp "$kernel/modules/$module.ko" "$root/lib/modules/"
  done
  cp "$guest_dir/init" "$root/init"
  cp "$guest_dir"/bench.sh "$guest_dir"/adapter-link "$root/bench/"
  cp "$guest_dir/mdev.conf" "$root/etc/mdev.conf"
  cp "$scenario_dir"/*.sh "$root/bench/scenarios/"
  chmod 755 "$root/init" "$root/bench/adapter-link"
  # Users: root; tester, in the group that owns the ports; outsider, who is not.
  printf '%s\n' 'root:x:0:0:root:/root:/bin/sh' 'tester:x:1000:1000::/tmp:/bin/sh' \
    'outsider:x:1001:1001::/tmp:/bin/sh' >"$root/etc/passwd"
  printf '%s\n' 'root:x:0:' 'dialout:x:20:tester' 'tester:x:1000:' 'outsider:x:1001:' \
    >"$root/etc/group"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"
}

# --- One scenario ---------------------------------------------------------------------------
# The functions below the line "for scenario files" are what a scenario's machine and
# host_after call; everything else is the runner's own.

dir=""           # the scenario's work directory
qemu_args=()
kernel_args=()
nr_uarts=""
usb_ports=0
declare -A sim_pids=() sim_args=() adapter_ports=()
host_results=()
qemu_pid=""
scenario_timeout=$kScenarioTimeout

# Starts jssim playing a controller on a new pseudo-terminal linked as LINK.
start_sim() {
  local key=$1 link=$2
  shift 2
  local log=$dir/jssim-$key.log
  [[ -e $log ]] && mv "$log" "$log.$(date +%s%N)"
  "$build/tools/jssim/jssim" --link "$link" "$@" >"$log" 2>&1 &
  sim_pids[$key]=$!
  local _
  for _ in $(seq 200); do
    grep -q '^jssim: ready' "$log" && return 0
    kill -0 "${sim_pids[$key]}" 2>/dev/null || break
    sleep 0.05
  done
  say "jssim for $key did not start: $(tail -n 3 "$log")"
  return 1
}

stop_sim() {
  local key=$1 pid=${sim_pids[$1]:-}
  [[ -n $pid ]] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  sim_pids[$key]=""
}

# --- for scenario files: machine ---

# uart N silent | uart N sim [JSSIM OPTION...]: COMn (the guest's ttyS(n-1)). A silent UART's
# output goes to a file (see `written`); sim plays a controller with jssim. COM1 to COM4 are
# the PC's own UARTs, COM5 and up are PCI UARTs and must come in order after COM4.
uart() {
  local n=$1 kind=$2 id=com$1
  shift 2
  case $kind in
    silent) qemu_args+=(-chardev "file,id=$id,path=$dir/$id.out") ;;
    sim)
      start_sim "$id" "$dir/$id" "$@"
      qemu_args+=(-chardev "serial,id=$id,path=$dir/$id")
      ;;
    *) say "uart $n: unknown kind $kind"; return 1 ;;
  esac
  if ((n <= 4)); then
    qemu_args+=(-device "isa-serial,index=$((n - 1)),chardev=$id")
  else
    qemu_args+=(-device "pci-serial,chardev=$id")
    [[ -n $nr_uarts ]] || nr_uarts=8
  fi
}

# uarts N: the guest's 8250 driver makes N ports, ttyS0 to ttyS(N-1) (the kernel's default is 4;
# ports beyond the present UARTs are there but answer every call with EIO).
uarts() { nr_uarts=$1; }

# ftdi NAME [JSSIM OPTION...]: an FTDI adapter (QEMU's usb-serial) with a controller played by
# jssim behind it; it is plugged in at start and after every `plug NAME`, each time with a
# fresh jssim of the same options. The guest finds it as /dev/adapters/NAME.
ftdi() {
  local name=$1
  shift
  if ((usb_ports == 0)); then qemu_args+=(-device "qemu-xhci,id=xhci"); fi
  usb_ports=$((usb_ports + 1))
  ((usb_ports <= 4)) || { say "at most 4 adapters"; return 1; }
  adapter_ports[$name]=$usb_ports
  sim_args[$name]=""
  (($# == 0)) || sim_args[$name]=$(printf '%q ' "$@")
  start_sim "$name" "$dir/$name" "$@"
  qemu_args+=(-chardev "serial,id=chr-$name,path=$dir/$name"
              -device "usb-serial,chardev=chr-$name,id=$name,bus=xhci.0,port=$usb_ports")
}

# trace EVENT...: QEMU writes these trace events, time-stamped, to trace.log.
trace() {
  local event
  for event; do qemu_args+=(-trace "$event"); done
  qemu_args+=(-D "$dir/trace.log" -msg timestamp=on)
}

# timeout_s N: this scenario may take up to N seconds.
timeout_s() { scenario_timeout=$1; }

# --- for scenario files: host_after ---

host_pass() { host_results+=("pass $1${2:+: $2}"); }
host_fail() { host_results+=("fail $1: $2"); }
host_info() { host_results+=("info $*"); }

# The guest's @@data lines, in order, without the marker.
guest_data() { sed -n 's/^[0-9.]* @@data //p' "$dir/bench.log"; }

# The guest clock's offset from the host's, from the clock-sync with the shortest round trip.
clock_offset() { sort -n "$dir/clock-sync.log" | head -n 1 | cut -d' ' -f2; }

# written N: the bytes the guest has written to the silent COMn, in hex, space separated.
written() { od -An -v -tx1 "$dir/com$1.out" 2>/dev/null | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }

# The simulator's log for COMn or adapter NAME.
sim_log() { local key=$1; [[ $key == [0-9]* ]] && key=com$key; printf '%s\n' "$dir/jssim-$key.log"; }

# --- The guest's requests ---

chan_in="" chan_out="" qmp_in="" qmp_out="" partial=""

# A whole line from the guest's bench port into $line; false when none came in $1 seconds.
read_guest_line() {
  local piece=""
  if IFS= read -r -t "$1" -u "$chan_out" piece; then
    line=$partial$piece
    partial=""
    return 0
  fi
  partial+=$piece  # a time-out keeps what came of the line so far
  return 1
}

answer() { printf '%s\n' "$*" >&"$chan_in"; }

# Sends one QMP command and waits for its answer; the events that come meanwhile are kept in
# $qmp_events (and the log).
qmp_events=""
qmp() {
  local reply
  printf '%s\n' "$1" >&"$qmp_in"
  while IFS= read -r -t 20 -u "$qmp_out" reply; do
    case $reply in
      *'"return"'*) return 0 ;;
      *'"error"'*) say "QMP: $1 -> $reply"; return 1 ;;
      *) qmp_events+="$reply"$'\n'; printf '%s\n' "$reply" >>"$dir/qmp-events.log" ;;
    esac
  done
  say "QMP: no answer to $1"
  return 1
}

# Waits until QMP has reported that device ID is gone.
qmp_deleted() {
  local reply _
  for _ in $(seq 100); do
    [[ $qmp_events == *'"DEVICE_DELETED"'*"\"device\": \"$1\""* ]] && return 0
    if IFS= read -r -t 0.1 -u "$qmp_out" reply; then
      qmp_events+="$reply"$'\n'
      printf '%s\n' "$reply" >>"$dir/qmp-events.log"
    fi
  done
  return 1
}

# Each request handler leaves its answer in $reply; false when it could not do it.
reply=""

unplug() {
  local name
  qmp_events=""
  # All of them first, then wait: they go out as close together as they can.
  for name; do
    [[ -n ${adapter_ports[$name]:-} ]] || { reply="no adapter $name"; return 1; }
    qmp "{\"execute\":\"device_del\",\"arguments\":{\"id\":\"$name\"}}" ||
      { reply="device_del $name refused"; return 1; }
  done
  reply=$EPOCHREALTIME
  for name; do
    qmp_deleted "$name" || { reply="$name was not deleted"; return 1; }
  done
  # Then the controllers behind them go, and fresh ones wait for the next plug.
  for name; do
    qmp "{\"execute\":\"chardev-remove\",\"arguments\":{\"id\":\"chr-$name\"}}" ||
      { reply="chardev-remove chr-$name refused"; return 1; }
    stop_sim "$name"
    eval "start_sim \"\$name\" \"\$dir/\$name\" ${sim_args[$name]}" ||
      { reply="no fresh controller for $name"; return 1; }
  done
}

plug() {
  local name pty
  for name; do
    [[ -n ${adapter_ports[$name]:-} ]] || { reply="no adapter $name"; return 1; }
    pty=$(readlink -f "$dir/$name")
    qmp "{\"execute\":\"chardev-add\",\"arguments\":{\"id\":\"chr-$name\",\"backend\":{\"type\":\"serial\",\"data\":{\"device\":\"$pty\"}}}}" ||
      { reply="chardev-add chr-$name refused"; return 1; }
    qmp "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\",\"id\":\"$name\",\"chardev\":\"chr-$name\",\"bus\":\"xhci.0\",\"port\":\"${adapter_ports[$name]}\"}}" ||
      { reply="device_add $name refused"; return 1; }
  done
  reply=$EPOCHREALTIME
}

# The host's side of a simulator's line: the speed and frame its pseudo-terminal has (QEMU sets
# them as the guest sets its UART; a pseudo-terminal keeps only the speed, parodd and cstopb of
# them and is always cs8 -parenb), and with `trace serial_update_parameters` the last frame the
# emulated UARTs were set to (any of them: the trace does not say which).
pty_settings() {
  local key=$1 settings word last=""
  [[ $key == [0-9]* ]] && key=com$key
  settings=$(stty -F "$dir/$key" -a 2>&1) || { reply="stty: $settings"; return 1; }
  [[ $settings =~ speed\ ([0-9]+)\ baud ]] && reply="speed=${BASH_REMATCH[1]}"
  for word in ${settings//;/ }; do
    [[ $word =~ ^(-?(parenb|parodd|cstopb)|cs[5-8])$ ]] && reply+=" $word"
  done
  if [[ -f $dir/trace.log ]]; then
    while IFS= read -r word; do
      [[ $word == *serial_update_parameters* ]] && last=${word#*serial_update_parameters }
    done <"$dir/trace.log"
    reply+=" uart: $last"
  fi
}

# Estimates the guest clock's offset from the host's: the guest answers each ping with its own
# time; the exchange with the shortest round trip bounds the offset best (to half of it).
clock_sync() {
  local i t0 t1 best="" rtt offset
  for i in $(seq 20); do
    t0=$EPOCHREALTIME
    answer "@@ping $i"
    read_guest_line 5 || { reply="no pong"; return 1; }
    t1=$EPOCHREALTIME
    [[ $line == "@@pong $i "* ]] || { reply="unexpected: $line"; return 1; }
    rtt=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    offset=$(awk -v a="$t0" -v b="$t1" -v g="${line##* }" 'BEGIN { printf "%.6f", g - (a + b) / 2 }')
    if [[ -z $best ]] || awk -v r="$rtt" -v b="${best%% *}" 'BEGIN { exit !(r < b) }'; then
      best="$rtt $offset"
    fi
  done
  printf '%s\n' "$best" >>"$dir/clock-sync.log"
  reply="rtt=${best%% *} offset=${best##* }"
}

handle_request() {
  local request=$1 verb args=() status=0
  verb=${request%% *}
  read -ra args <<<"${request#"$verb"}"
  printf '%s %s\n' "$EPOCHREALTIME" "$request" >>"$dir/requests.log"
  reply=""
  case $verb in
    unplug) unplug "${args[@]}" || status=$? ;;
    plug) plug "${args[@]}" || status=$? ;;
    pty) pty_settings "${args[0]:-}" || status=$? ;;
    written) reply=$(written "${args[0]:-}") ;;
    clock-sync) clock_sync || status=$? ;;
    mark) reply=$EPOCHREALTIME ;;
    *) reply="unknown request $verb"; status=1 ;;
  esac
  printf '%s -> %s %s\n' "$EPOCHREALTIME" "$status" "$reply" >>"$dir/requests.log"
  if ((status == 0)); then answer "@@ok $reply"; else answer "@@fail $reply"; fi
}

# The scenario's verdict: printed, and kept for the summary.
verdict() { printf '%s\n' "$*" | tee "$dir/verdict"; }

# Runs one scenario, in a subshell of its own; prints its verdict line last. Status 0 for PASS.
run_scenario() {
  local name=$1
  dir=$work/$name
  mkdir -p "$dir"
  trap 'cleanup_scenario' EXIT
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  # shellcheck source=/dev/null
  . "$repo/tests/qemu/host.sh"
  # shellcheck source=/dev/null
  . "$scenario_dir/$name.sh"
  local started=$EPOCHREALTIME
  printf '%s\n' "$started" >"$dir/started"
  machine || { verdict "FAIL    $name: its machine could not be set up"; return 1; }
  kernel_args+=("js.scenario=$name")
  if ((usb_ports > 0)); then
    local pairs="" key
    for key in "${!adapter_ports[@]}"; do pairs+="${pairs:+,}$key:${adapter_ports[$key]}"; done
    kernel_args+=("js.ftdi=$pairs")
  fi
  [[ -n $nr_uarts ]] && kernel_args+=("8250.nr_uarts=$nr_uarts")
  mkfifo "$dir"/bench.{in,out} "$dir"/qmp.{in,out}
  exec {chan_in}<>"$dir/bench.in" {chan_out}<>"$dir/bench.out"
  exec {qmp_in}<>"$dir/qmp.in" {qmp_out}<>"$dir/qmp.out"

  printf '%s\n' "$EPOCHREALTIME" >"$dir/qemu-started"
  # qboot, not SeaBIOS: SeaBIOS writes its banner to the first UART, which a scenario reads.
  qemu-system-x86_64 -machine pc -bios "$firmware" -m 256 -smp 1 -no-reboot -nographic -nodefaults \
    -kernel "$kernel_image" -initrd "$work/initramfs.gz" \
    -append "console=hvc0 panic=-1 quiet ${kernel_args[*]}" \
    -device virtio-serial-pci \
    -chardev "file,id=console,path=$dir/console.log" -device virtconsole,chardev=console \
    -chardev "pipe,id=bench,path=$dir/bench" -device virtserialport,chardev=bench,name=bench \
    -chardev "pipe,id=qmp,path=$dir/qmp" -mon chardev=qmp,mode=control \
    "${qemu_args[@]}" </dev/null >"$dir/qemu.log" 2>&1 &
  qemu_pid=$!
  local greeting=""
  IFS= read -r -t 30 -u "$qmp_out" greeting || true
  if [[ $greeting != *'"QMP"'* ]] || ! qmp '{"execute":"qmp_capabilities"}'; then
    verdict "FAIL    $name: QEMU did not start: $(tail -n 3 "$dir/qemu.log")"
    return 1
  fi

  local deadline=$((SECONDS + scenario_timeout)) ended="" line passes=0 known=0 failures=()
  while [[ -z $ended ]]; do
    if ! read_guest_line 0.5; then
      kill -0 "$qemu_pid" 2>/dev/null || break
      ((SECONDS < deadline)) || { failures+=("timed out after ${scenario_timeout} s"); break; }
      continue
    fi
    printf '%s %s\n' "$EPOCHREALTIME" "$line" >>"$dir/bench.log"
    case $line in
      "@@host "*) handle_request "${line#@@host }" ;;
      "@@pass "*) passes=$((passes + 1)); printf '  pass  %s\n' "${line#@@pass }" ;;
      "@@fail "*) failures+=("${line#@@fail }"); printf '  FAIL  %s\n' "${line#@@fail }" ;;
      "@@xfail "*) known=$((known + 1)); printf '  known %s\n' "${line#@@xfail }" ;;
      "@@xpass "*) failures+=("${line#@@xpass }"); printf '  XPASS %s\n' "${line#@@xpass }" ;;
      "@@info "*) printf '  info  %s\n' "${line#@@info }" ;;
      "@@end "*) ended=${line#@@end } ;;
    esac
  done
  local boot_to_end
  boot_to_end=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  # poweroff -f ends QEMU at once; give it a moment, then make sure.
  local _
  for _ in $(seq 50); do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.1; done
  [[ -n $ended ]] || failures+=("the guest never said it ended (console: $dir/console.log)")
  [[ -z $ended || $ended == 0 ]] || failures+=("the guest's scenario ended with status $ended")

  host_results=()
  if declare -F host_after >/dev/null; then host_after || failures+=("host_after failed"); fi
  local result
  for result in "${host_results[@]}"; do
    case $result in
      pass*) passes=$((passes + 1)); printf '  pass  %s (host)\n' "${result#pass }" ;;
      fail*) failures+=("${result#fail }"); printf '  FAIL  %s (host)\n' "${result#fail }" ;;
      info*) printf '  info  %s (host)\n' "${result#info }" ;;
    esac
  done
  ((passes + known + ${#failures[@]} > 0)) || failures+=("no check ran")

  if ((${#failures[@]} > 0)); then
    printf '  --- console, last lines:\n'
    tail -n 25 "$dir/console.log" 2>/dev/null | tr -d '\r' | sed 's/^/  | /'
  fi
  local note=""
  ((known == 0)) || note=", $known known faults still there"
  if ((${#failures[@]} > 0)); then
    verdict "FAIL    $name (${boot_to_end} s): ${failures[0]}$note"
    return 1
  fi
  verdict "PASS    $name (${boot_to_end} s, $passes checks$note)"
}

cleanup_scenario() {
  if [[ -n $qemu_pid ]] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill -TERM "$qemu_pid" 2>/dev/null || true
  fi
  [[ -n $qemu_pid ]] && wait "$qemu_pid" 2>/dev/null
  local key
  for key in "${!sim_pids[@]}"; do stop_sim "$key"; done
  return 0
}

# --- Inside the masked namespace --------------------------------------------------------------

work=""
build=""
kernel_image=""

inside() {
  local outer=$1
  shift
  if [[ $(readlink /proc/self/ns/mnt) == "$outer" ]]; then
    say "not inside a mount namespace of its own; nothing run"
    exit 1
  fi
  local device
  while IFS= read -r device; do
    if [[ $(stat -L -c %t:%T "$device") != "$kNullDevice" ]]; then
      say "$device is not covered by /dev/null here; nothing run"
      exit 1
    fi
  done < <(serial_devices)

  build=$(cd "$1" && pwd)
  shift
  local tool
  for tool in qemu-system-x86_64 cpio gzip apt-get apt-cache dpkg-deb stty; do
    command -v "$tool" >/dev/null || missing "$tool is not installed (Debian: qemu-system-x86 cpio)"
  done
  [[ -f $firmware ]] || missing "no $firmware (Debian: qemu-system-data)"
  if [[ ! -x /bin/busybox ]] || ldd /bin/busybox >/dev/null 2>&1; then
    missing "no static /bin/busybox (Debian: busybox-static)"
  fi
  local program
  for program in "${guest_programs[@]}" tools/jssim/jssim; do
    [[ -x $build/$program ]] || { say "missing $build/$program (build the default preset)"; exit 1; }
  done

  local names=("$@")
  if ((${#names[@]} == 0)); then
    local file
    for file in "$scenario_dir"/*.sh; do
      file=$(basename "$file" .sh)
      [[ $file == bench-* ]] || names+=("$file")
    done
  fi
  for program in "${names[@]}"; do
    [[ -f $scenario_dir/$program.sh ]] || { say "no scenario $program in $scenario_dir"; exit 2; }
  done

  local started=$SECONDS kernel
  kernel=$(fetch_kernel "$build/qemu-kernel") || missing "no guest kernel (see above)"
  kernel_image=$kernel/vmlinux
  [[ -f $kernel_image ]] || kernel_image=$kernel/vmlinuz

  work=$(mktemp -d /tmp/js-qemu-bench.XXXXXX)
  if [[ $keep == 1 ]]; then
    trap 'say "kept $work"' EXIT
  else
    trap 'rm -rf "$work"' EXIT
  fi
  build_initramfs "$build" "$kernel" || { say "could not build the initramfs"; exit 1; }
  say "guest: $(basename "$kernel"), initramfs $(($(stat -c %s "$work/initramfs.gz") / 1024)) KiB," \
      "ready after $((SECONDS - started)) s"

  local verdicts=() failed=0 name scenario_pid=""
  # A stop signal ends the scenario under way, which cleans up after itself, and then the run.
  trap 'stop_run 129' HUP
  trap 'stop_run 130' INT
  trap 'stop_run 143' TERM
  stop_run() {
    if [[ -n $scenario_pid ]]; then
      kill -TERM "$scenario_pid" 2>/dev/null || true
      wait "$scenario_pid" || true
    fi
    say "stopped by a signal"
    exit "$1"
  }
  for name in "${names[@]}"; do
    printf '\n--- %s\n' "$name"
    # In the background, so that a signal's trap runs at once rather than after the scenario.
    (run_scenario "$name") &
    scenario_pid=$!
    wait "$scenario_pid" || failed=1
    scenario_pid=
    verdicts+=("$(cat "$work/$name/verdict" 2>/dev/null || echo "FAIL    $name: no verdict")")
  done
  printf '\n'
  say "results ($((SECONDS - started)) s in all):"
  printf '  %s\n' "${verdicts[@]}"
  if ((failed)); then
    say "FAILED"
    exit 1
  fi
  say "all passed"
}

# --- Outside: into the masked namespace -----------------------------------------------------

main() {
  if [[ ${1:-} == --inside ]]; then
    shift
    local outer=$1
    shift
    while [[ ${1:-} == --* ]]; do
      case $1 in --require) require=1 ;; --keep) keep=1 ;; esac
      shift
    done
    inside "$outer" "$@"
    exit 0
  fi
  local flags=()
  while [[ ${1:-} == --* ]]; do
    case $1 in
      --require) require=1; flags+=("$1") ;;
      --keep) keep=1; flags+=("$1") ;;
      *) echo "usage: $0 [--require] [--keep] BUILD_DIR [SCENARIO...]" >&2; exit 2 ;;
    esac
    shift
  done
  [[ $# -ge 1 && -d $1 ]] || { echo "usage: $0 [--require] [--keep] BUILD_DIR [SCENARIO...]" >&2; exit 2; }
  [[ $require == 1 ]] && flags+=(--require)

  [[ $(id -u) -eq 0 ]] || missing "not root, so the serial devices cannot be masked"
  command -v unshare >/dev/null || missing "unshare (util-linux) is not installed"
  local status=0 child
  "$repo/.ci/masked" "$repo/.ci/qemu-tests.sh" --inside "$(readlink /proc/self/ns/mnt)" \
    "${flags[@]}" "$@" &
  child=$!
  # The run inside ends and cleans up when this script is told to stop.
  trap 'kill -TERM "$child" 2>/dev/null' HUP INT TERM
  while :; do
    wait "$child" && status=0 || status=$?
    kill -0 "$child" 2>/dev/null || break
  done
  if ((status == 125)); then
    missing "the masked namespace could not be made (.ci/masked said why above)"
  fi
  exit "$status"
}

main "$@"
