# From a byte leaving the simulator to the key event in the guest's input layer: 500 strokes
# through a 16550 UART (COM1) and 500 through the FTDI adapter, each typed by jskeys through
# uinput and read back by evdev_reader with the kernel's time stamp of the event. The strokes are
# jog steps, one forward and one back in turn (Right and Left in jskeys' built-in map): the link
# adds jog steps up, so none is lost however late jskeys looks, and every one can be matched.
#
# The clocks: jssim stamps each send with the host's clock (--timestamps, read right after the
# write to its pseudo-terminal); the event carries the guest's clock. The guest's clock is set
# against the host's by pings over the bench port before and after the strokes: the guest
# answers each ping with its time, and the exchange with the shortest round trip gives the
# offset to within half that round trip (reported). QEMU's guest clock runs from the host's,
# so it does not drift apart over the minute this takes (the two offsets show it).

readonly strokes=500

# A jog step forward, then one back, 40 ms apart.
stroke_script() {
  local i
  echo "wait 500"
  for i in $(seq $((strokes / 2))); do echo "jog 1; wait 40; jog -1; wait 40"; done
}

machine() {
  stroke_script >"$dir/strokes.txt"
  uart 1 sim --timestamps --start-after-handshake --script-file "$dir/strokes.txt"
  ftdi usb --timestamps --start-after-handshake --script-file "$dir/strokes.txt"
  timeout_s 400
}

guest() {
  wait_adapter usb >/dev/null || fail "adapter" "never appeared"
  port_dir /tmp/usb 1=/dev/adapters/usb
  info "the adapter's latency timer in the guest's driver:" \
    "$(cat /sys/class/tty/"$(basename "$(readlink /dev/adapters/usb)")"/device/latency_timer) ms"
  info "clock before: $(answer_pings)"
  for line in uart usb; do
    env=""
    [ "$line" = usb ] && env=JS_PORT_DIR=/tmp/usb
    start_tool events evdev_reader
    start_tool keys env $env jskeys --backend uinput
    wait_count /tmp/events.out ' key 10[56] 1$' "$strokes" 90 ||
      fail "$line: every stroke typed" "$(grep -Ec ' key 10[56] 1$' /tmp/events.out) of $strokes"
    stop_tool keys TERM
    stop_tool events TERM
    # The kernel's time stamp of each key going down.
    awk -v l="$line" '$3 == "key" && ($4 == 105 || $4 == 106) && $5 == 1 { print "@@data " l " " $4 " " $2 }' \
      /tmp/events.out | while IFS= read -r data; do say "$data"; done
  done
  info "clock after: $(answer_pings)"
  pass "the strokes ran"
}

host_after() {
  latency_figures uart "$(sim_log 1)"
  latency_figures usb "$(sim_log usb)"
  host_info "clock offsets (guest minus host, s) and their round trips: $(tr '\n' ';' <"$dir/clock-sync.log")"
}
