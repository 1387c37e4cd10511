# shellcheck shell=bash disable=SC2154,SC2317  # the runner's $build and $work; the scenarios' API
# The QEMU bench's host half (bash), sourced by .ci/qemu-tests.sh: the guest's kernel and
# initramfs, one scenario's run, and what the host side of a scenario file calls:
#   machine       uart, uarts, ftdi, trace, timeout_s: what the guest gets
#   host_after    host_pass, host_fail, host_info, expect_written, written, full_handshake, sim_log
#   request_VERB  the guest's `host VERB ARG...` (a - in VERB is a _ here): leaves its answer in
#                 $reply, false when it could not do it. unplug, plug and mark are here;
#                 a scenario defines its own beside its guest.
# The scenario files are read by the guest's busybox sh too, so their host side keeps to what
# busybox can parse (no [[ =~ ]], no <<<); the rest goes here.

qemu_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly qemu_dir scenario_dir=$qemu_dir/scenarios guest_dir=$qemu_dir/guest
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

# Builds the guest's initramfs into $work/initramfs.gz: busybox, the tools with the shared
# libraries ldd lists (the loader too), the modules, tests/qemu/guest/ and the scenarios.
build_initramfs() {
  local kernel=$1 root=$work/initramfs applet library
  mkdir -p "$root"/{bin,usr/bin,dev,proc,sys,tmp,etc,lib/modules,bench/scenarios}
  cp /bin/busybox "$root/bin/busybox"
  for applet in $(/bin/busybox --list); do
    [[ $applet == busybox ]] || ln -s busybox "$root/bin/$applet"
  done
  cp "${guest_programs[@]/#/$build/}" "$root/usr/bin/"
  for library in $(ldd "${guest_programs[@]/#/$build/}" |
                   awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// && $1 !~ /:$/ { print $1 }' |
                   sort -u); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
  (cd "$kernel/modules" && cp "${guest_modules[@]/%/.ko}" "$root/lib/modules/")
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

# --- One scenario, in a subshell of the runner's own ----------------------------------------

dir=""           # the scenario's work directory
qemu_args=()
kernel_args=()
nr_uarts=""
usb_ports=0
declare -A sim_pids=() sim_args=() adapter_ports=()
qemu_pid=""
scenario_timeout=$kScenarioTimeout
passes=0 known=0 failures=()

# Starts jssim playing a controller on a new pseudo-terminal linked as LINK.
start_sim() {
  local key=$1 link=$2 _
  shift 2
  local log=$dir/jssim-$key.log
  [[ -e $log ]] && mv "$log" "$log.$(date +%s%N)"
  "$build/tools/jssim/jssim" --link "$link" "$@" >"$log" 2>&1 &
  sim_pids[$key]=$!
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

# --- for machine ---

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

# --- for host_after ---

# report KIND TEXT: a result, the guest's (KIND as it says it: pass, fail, xfail, xpass, info)
# or the host's; printed, and counted for the verdict.
report() {
  case $1 in
    pass) passes=$((passes + 1)); printf '  pass  %s\n' "$2" ;;
    fail) failures+=("$2"); printf '  FAIL  %s\n' "$2" ;;
    xfail) known=$((known + 1)); printf '  known %s\n' "$2" ;;
    xpass) failures+=("$2"); printf '  XPASS %s\n' "$2" ;;
    info) printf '  info  %s\n' "$2" ;;
  esac
}
host_pass() { report pass "$1${2:+: $2} (host)"; }
host_fail() { report fail "$1: $2 (host)"; }
host_info() { report info "$* (host)"; }

# written N: the bytes the guest has written to the silent COMn, in hex, space separated.
written() { od -An -v -tx1 "$dir/com$1.out" 2>/dev/null | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }

# expect_written NAME N EXPECTED-HEX: the silent COMn got exactly these bytes.
expect_written() {
  local got
  got=$(written "$2")
  if [[ $got == "$3" ]]; then host_pass "$1"; else host_fail "$1" "got ${got:-nothing}"; fi
}

# The bytes a port that never answers gets from one open of the link: 7 attempts, each a reset
# (43) and 8 status requests (40 41 42), in hex as `written` gives them.
full_handshake() {
  local attempt bytes="" _
  attempt="43$(printf ' 40 41 42%.0s' {1..8})"
  for _ in {1..7}; do bytes+=" $attempt"; done
  printf '%s\n' "${bytes# }"
}

# The simulator's log for COMn or adapter NAME.
sim_log() { local key=$1; [[ $key == [0-9]* ]] && key=com$key; printf '%s\n' "$dir/jssim-$key.log"; }

# --- The guest's requests ---

chan_in="" chan_out="" qmp_in="" qmp_out="" partial="" qmp_events="" reply=""

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

# An event QMP sent: kept in $qmp_events and the log.
qmp_event() { qmp_events+="$1"$'\n'; printf '%s\n' "$1" >>"$dir/qmp-events.log"; }

# Sends one QMP command and waits for its answer, keeping the events that come meanwhile.
qmp() {
  local reply
  printf '%s\n' "$1" >&"$qmp_in"
  while IFS= read -r -t 20 -u "$qmp_out" reply; do
    case $reply in
      *'"return"'*) return 0 ;;
      *'"error"'*) say "QMP: $1 -> $reply"; return 1 ;;
      *) qmp_event "$reply" ;;
    esac
  done
  say "QMP: no answer to $1"
  return 1
}

# Waits until QMP has reported that device ID is gone.
qmp_deleted() {
  local event _
  for _ in $(seq 100); do
    [[ $qmp_events == *'"DEVICE_DELETED"'*"\"device\": \"$1\""* ]] && return 0
    if IFS= read -r -t 0.1 -u "$qmp_out" event; then qmp_event "$event"; fi
  done
  return 1
}

# unplug NAME...: pulls the adapters out (device_del), all as close together as they can go;
# then the controllers behind them go, and fresh ones wait for the next plug.
request_unplug() {
  local name
  qmp_events=""
  for name; do
    [[ -n ${adapter_ports[$name]:-} ]] || { reply="no adapter $name"; return 1; }
    qmp "{\"execute\":\"device_del\",\"arguments\":{\"id\":\"$name\"}}" ||
      { reply="device_del $name refused"; return 1; }
  done
  reply=$EPOCHREALTIME
  for name; do
    qmp_deleted "$name" || { reply="$name was not deleted"; return 1; }
  done
  for name; do
    qmp "{\"execute\":\"chardev-remove\",\"arguments\":{\"id\":\"chr-$name\"}}" ||
      { reply="chardev-remove chr-$name refused"; return 1; }
    stop_sim "$name"
    eval "start_sim \"\$name\" \"\$dir/\$name\" ${sim_args[$name]}" ||
      { reply="no fresh controller for $name"; return 1; }
  done
}

# plug NAME...: puts the adapters back (chardev-add, device_add) on their USB ports.
request_plug() {
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

request_mark() { reply=$EPOCHREALTIME; }

handle_request() {
  local verb=${1%% *} args=() status=0
  read -ra args <<<"${1#"$verb"}"
  printf '%s %s\n' "$EPOCHREALTIME" "$1" >>"$dir/requests.log"
  reply=""
  if declare -F "request_${verb//-/_}" >/dev/null; then
    "request_${verb//-/_}" "${args[@]}" || status=$?
  else
    reply="unknown request $verb" status=1
  fi
  printf '%s -> %s %s\n' "$EPOCHREALTIME" "$status" "$reply" >>"$dir/requests.log"
  if ((status == 0)); then answer "@@ok $reply"; else answer "@@fail $reply"; fi
}

# --- The run ---

# The scenario's verdict: printed, and kept for the summary.
verdict() { printf '%s\n' "$*" | tee "$dir/verdict"; }

# Runs scenario NAME: its machine, QEMU, the guest's results and requests, host_after; prints
# its verdict line last. Status 0 for PASS. Meant for a subshell: it leaves its state behind.
run_scenario() {
  local name=$1
  dir=$work/$name
  mkdir -p "$dir"
  trap 'cleanup_scenario' EXIT
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  # shellcheck source=/dev/null
  . "$scenario_dir/$name.sh"
  local started=$EPOCHREALTIME
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

  local deadline=$((SECONDS + scenario_timeout)) ended="" line kind
  while [[ -z $ended ]]; do
    if ! read_guest_line 0.5; then
      kill -0 "$qemu_pid" 2>/dev/null || break
      ((SECONDS < deadline)) || { failures+=("timed out after ${scenario_timeout} s"); break; }
      continue
    fi
    printf '%s %s\n' "$EPOCHREALTIME" "$line" >>"$dir/bench.log"
    kind=${line%% *}
    case $kind in
      @@host) handle_request "${line#@@host }" ;;
      @@end) ended=${line#@@end } ;;
      @@*) report "${kind#@@}" "${line#* }" ;;
    esac
  done
  local boot_to_end _
  boot_to_end=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  # poweroff -f ends QEMU at once; give it a moment, then make sure.
  for _ in $(seq 50); do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.1; done
  [[ -n $ended ]] || failures+=("the guest never said it ended (console: $dir/console.log)")
  [[ -z $ended || $ended == 0 ]] || failures+=("the guest's scenario ended with status $ended")
  if declare -F host_after >/dev/null; then host_after || failures+=("host_after failed"); fi
  ((passes + known + ${#failures[@]} > 0)) || failures+=("no check ran")

  local note=""
  ((known == 0)) || note=", $known known faults still there"
  if ((${#failures[@]} > 0)); then
    printf '  --- console, last lines:\n'
    tail -n 25 "$dir/console.log" 2>/dev/null | tr -d '\r' | sed 's/^/  | /'
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
