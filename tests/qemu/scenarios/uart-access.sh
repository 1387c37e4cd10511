# Who may use a port, as a user who is not root: the ports belong to root and the group dialout,
# and tester is in dialout, outsider is not. While jsmonitor holds COM3, a second open of it
# fails as busy, and once jsmonitor has ended, by whichever of its signals, the port opens again.
# jsmonitor --list tells missing, free, busy and forbidden ports apart without writing a byte.
#   COM1 silent UART, root's alone (mode 600)   COM2 no UART behind ttyS1
#   COM3 controller                             COM4 silent UART
#   COM5 to COM7 missing (the driver makes ttyS0 to ttyS3 only)

machine() {
  uart 1 silent
  uart 3 sim
  uart 4 silent
}

# list_as USER: jsmonitor --list as USER sees it, kept for port_state.
list_as() { listing=$(su -s /bin/sh "$1" -c 'jsmonitor --list' 2>&1); }
# port_state N: what that listing says of COMn, without its path.
port_state() { printf '%s\n' "$listing" | grep "^COM$1 " | sed 's/^COM[0-9]*  [^ ]*  //'; }

# Opens COM3 for reading and writing as tester, as any program would, and closes it again.
open_as_tester() { su -s /bin/sh tester -c ': <>/dev/ttyS2' 2>&1; }

guest() {
  chmod 600 /dev/ttyS0
  list_as outsider
  for n in 1 3 4; do
    expect_eq "COM$n may not be opened by outsider" "may not be opened: Permission denied" \
      "$(port_state $n)"
  done
  list_as tester
  expect_eq "COM1 may not be opened by tester (root's alone)" \
    "may not be opened: Permission denied" "$(port_state 1)"
  for n in 5 6 7; do expect_eq "COM$n is missing" missing "$(port_state $n)"; done
  expect_eq "COM4 is free" free "$(port_state 4)"
  info "COM2 (ttyS1, no UART behind it) shows as: $(port_state 2)"

  for signal in INT TERM HUP; do
    start_tool monitor --as tester jsmonitor --port 3
    wait_for /tmp/monitor.out 'controller on COM3' 20 || fail "jsmonitor ($signal) started" \
      "no controller line"
    list_as tester
    expect_eq "held by jsmonitor ($signal): --list says busy" "busy: held by another program" \
      "$(port_state 3)"
    list_as root
    expect_eq "held by jsmonitor ($signal): root's --list says busy too" \
      "busy: held by another program" "$(port_state 3)"
    expect_match "held by jsmonitor ($signal): a second open fails as busy" \
      "Device or resource busy" "$(open_as_tester)"
    start_tool second --as tester jsmonitor --port 3
    stop_tool second
    expect_eq "held by jsmonitor ($signal): a second jsmonitor ends with 1" 1 "$tool_status"
    expect_match "held by jsmonitor ($signal): ... saying the port is busy" \
      "COM3 is busy: held by another program" "$(cat /tmp/second.err)"
    stop_tool monitor "$signal"
    expect_eq "jsmonitor ended by SIG$signal: exit status" 0 "$tool_status"
    expect_eq "jsmonitor ended by SIG$signal: the port opens again" "" "$(open_as_tester)"
    list_as tester
    expect_eq "jsmonitor ended by SIG$signal: --list says free" free "$(port_state 3)"
  done
}

host_after() {
  expect_written "nothing was written to COM1" 1 ""
  expect_written "nothing was written to COM4" 4 ""
}
