# Figures for unplugging and plugging back the FTDI adapter under jsmonitor, over several
# cycles: unplug (the guest kernel's USB disconnect) to jsmonitor's "disconnected", plug (the
# host's device_add, and the kernel's new device) to "controller on"; and what the link logged
# around each unplug, with when each line was written. The last two cycles run with a busy loop
# in the guest, which holds up the tool's own Close after the loss.

readonly cycles=6

machine() {
  ftdi monitor --start-after-handshake --script 'wait 200; press 2; wait 100; release 2'
  timeout_s 240
}

busy_cycle() { [ "$1" -gt $((cycles - 2)) ]; }

guest() {
  adapters monitor
  port=$(adapter_port monitor)
  start_tool monitor env JS_PORT_DIR=/tmp/ports-monitor jsmonitor
  for cycle in $(seq $cycles); do
    wait_count /tmp/monitor.out 'K \[K2\]' "$cycle" 20 || fail "cycle $cycle: input" "none"
    sleep 0.5  # the release too
    hog=""
    if busy_cycle "$cycle"; then
      sh -c 'while :; do :; done' &
      hog=$!
    fi
    host unplug monitor >/dev/null || fail "cycle $cycle: unplug" "the host could not"
    wait_count /tmp/monitor.out 'disconnected' "$cycle" 10
    [ -z "$hog" ] || { kill "$hog"; wait "$hog" 2>/dev/null; }
    sleep 3
    plugged=$(now)
    host plug monitor >/dev/null || fail "cycle $cycle: plug" "the host could not"
    wait_count /tmp/monitor.out 'controller on COM1 \(' $((cycle + 1)) 10
    echo "plugged $cycle $plugged" >>/tmp/plugs
  done
  sleep 1.5
  stop_tool monitor TERM
  for cycle in $(seq $cycles); do
    unplugged=$(kernel_time "usb 1-$port: USB disconnect" "$cycle")
    attached=$(kernel_time "usb 1-$port: new full-speed USB device" $((cycle + 1)))
    plugged=$(sed -n "s/^plugged $cycle //p" /tmp/plugs)
    gone=$(stamp_of /tmp/monitor.out 'disconnected' "$cycle")
    found=$(stamp_of /tmp/monitor.out 'controller on COM1 \(' $((cycle + 1)))
    busy=""
    busy_cycle "$cycle" && busy=" (busy guest)"
    info "cycle $cycle$busy: unplug->disconnected $(ms "$unplugged" "$gone") ms;" \
      "plug->controller on $(ms "$plugged" "$found") ms ($(ms "$attached" "$found") ms from" \
      "the kernel's new device)"
    # What the link wrote from the unplug to half a second after the return, and when.
    awk -v a="$unplugged" -v b="$found" '$1 > a && $1 < b + 0.5 {
        printf "  %+6.0f ms %s\n", ($1 - a) * 1000, substr($0, index($0, " ") + 1) }' \
      /tmp/monitor.err | while IFS= read -r line; do info "cycle $cycle$busy: $line"; done
    info "cycle $cycle$busy: (disconnected at +$(ms "$unplugged" "$gone") ms, return at" \
      "+$(ms "$unplugged" "$found") ms)"
  done
  show_tool monitor 200
  pass "the cycles ran"
}
