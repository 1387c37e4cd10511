# Pulling the FTDI adapter out and putting it back (QEMU's device_del and device_add), with
# three tools on three adapters:
#   keys     jskeys (uinput) while controller key 7 holds shift: the shift goes up at the unplug
#   monitor  jsmonitor: says "disconnected" within 5 s, writes at most 20 log lines in a 10 s
#            outage, finds the controller again after the plug, and input flows again
#   once     jsmonitor --once: ends with status 1 at the unplug
# Behind each plugged adapter is a fresh controller that plays its script after the handshake.

machine() {
  ftdi keys --start-after-handshake --script 'wait 300; press 7'
  ftdi monitor --start-after-handshake --script 'wait 300; press 2; wait 150; release 2'
  ftdi once
}

guest() {
  adapters keys monitor once
  start_tool events evdev_reader
  start_tool keys env JS_PORT_DIR=/tmp/ports-keys jskeys --backend uinput
  start_tool monitor env JS_PORT_DIR=/tmp/ports-monitor jsmonitor
  start_tool once env JS_PORT_DIR=/tmp/ports-once jsmonitor --once
  wait_for /tmp/events.out 'key 42 1$' 30 || fail "jskeys holds shift" "no shift down"
  wait_for /tmp/monitor.out 'K \[K2\]' 30 || fail "jsmonitor sees key 2" "no K2"
  wait_for /tmp/once.out 'controller on' 30 || fail "jsmonitor --once finds its controller" "no"

  asked=$(now)
  host unplug keys monitor once >/dev/null || fail "unplug" "the host could not"
  wait_for /tmp/events.out 'key 42 0$' 10
  check "jskeys lets go of shift when the line goes down" grep -q 'key 42 0$' /tmp/events.out
  wait_for /tmp/monitor.out 'disconnected' 10
  disconnected=$(stamp_of /tmp/monitor.out 'disconnected')
  # From the moment the guest's kernel saw the adapter go; generous, as a busy machine's guest
  # can take a second to let the tool run.
  unplugged=$(kernel_time "usb 1-$(adapter_port monitor): USB disconnect")
  expect_at_most "jsmonitor says disconnected within 5 s" 5000 \
    "$(ms "$unplugged" "$disconnected")" ms
  info "unplug to disconnected: $(ms "$unplugged" "$disconnected") ms from the kernel's" \
    "disconnect, $(ms "$asked" "$disconnected") ms from asking the host"
  wait_tool once 5
  expect_eq "jsmonitor --once ends with 1 when the controller is lost" 1 "$tool_status"

  sleep "$(awk -v u="$asked" -v n="$EPOCHREALTIME" 'BEGIN { printf "%.3f", u + 10 - n }')"
  plugged=$(now)
  expect_at_most "jsmonitor: at most 20 log lines in a 10 s outage" 20 \
    "$(lines_between /tmp/monitor.err "$asked" "$plugged")"
  expect_at_most "jskeys: at most 20 log lines in a 10 s outage" 20 \
    "$(lines_between /tmp/keys.err "$asked" "$plugged")"
  host plug keys monitor >/dev/null || fail "plug" "the host could not"
  wait_count /tmp/monitor.out 'controller on COM1 \(' 2 10
  found=$(stamp_of /tmp/monitor.out 'controller on COM1 \(' 2)
  # Generous: on a busy machine the guest takes seconds to enumerate the adapter (bench-replug
  # has the figures).
  expect_at_most "jsmonitor finds the controller within 10 s of the plug" 10000 \
    "$(ms "$plugged" "$found")" ms
  attached=$(kernel_time "usb 1-$(adapter_port monitor): new full-speed USB device" 2)
  info "plug to controller on: $(ms "$plugged" "$found") ms from asking the host," \
    "$(ms "$attached" "$found") ms from the kernel's new device"
  wait_count /tmp/monitor.out 'K \[K2\]' 2 10
  check "jsmonitor: input flows again" test -n "$(stamp_of /tmp/monitor.out 'K \[K2\]' 2)"
  wait_count /tmp/events.out 'key 42 1$' 2 10
  check "jskeys: input flows again" test -n "$(stamp_of /tmp/events.out 'key 42 1$' 2)"
  for tool in keys monitor events; do stop_tool "$tool" TERM; done
  show_tool monitor 30
  show_tool keys 30
  dmesg | grep -iE 'ftdi|ttyUSB|usb 1-' | tail -n 20
}
