# The adapter on COM1 is pulled out while jsprobe's handshake with it is under way: the probe
# gives COM1 up at once and goes on to COM2, where a controller answers, and ends with status 2.
# The controller behind COM1 never answers, so the handshake there lasts its full 7 attempts
# (about half a second) unless the unplug cuts it short.

machine() {
  ftdi gone --silent
  ftdi there
}

guest() {
  adapters gone there
  port_dir /tmp/ports 1=/dev/adapters/gone 2=/dev/adapters/there
  start_tool probe env JS_PORT_DIR=/tmp/ports jsprobe
  # The first reset has gone out on COM1: the handshake is under way.
  wait_for /tmp/probe.err 'Sending reset' 20 || fail "jsprobe started on COM1" "no reset sent"
  asked=$(now)
  host_async unplug gone
  stop_tool probe
  host_answer >/dev/null || fail "unplug" "the host could not"
  expect_eq "jsprobe goes on to COM2 and finds the controller there" 2 "$tool_status"
  resets=$(awk '/testing COM2/ { exit } /Sending reset/ { n++ } END { print n + 0 }' /tmp/probe.err)
  expect_at_most "COM1's handshake was cut short by the unplug (resets sent)" 6 "$resets"
  left=$(stamp_of /tmp/probe.err 'testing COM2')
  info "unplug asked to COM2 under way: $(ms "$asked" "$left") ms; COM1 got $resets resets"
  show_tool probe 40
}
