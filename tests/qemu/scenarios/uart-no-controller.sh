# jsprobe where no controller answers, by the default names: COM1 to COM4 are the PC's own
# UARTs and COM5 a PCI UART, all silent; COM6 and COM7 are ports the 8250 driver made with no
# UART behind them (they answer every call with EIO). Every present port gets its full handshake,
# the absent ones cost nothing, and the status is 0.

machine() {
  uarts 8
  uart 1 silent
  uart 2 silent
  uart 3 silent
  uart 4 silent
  uart 5 silent
}

guest() {
  t0=$(now)
  start_tool probe jsprobe
  stop_tool probe
  t1=$(now)
  expect_eq "jsprobe ends with 0 when no controller answers" 0 "$tool_status"
  for n in 1 2 3 4 5; do
    expect_eq "COM$n gave up after 7 attempts" 1 \
      "$(awk '/testing COM/ { port = $NF } /not answering after 7/ && port == "COM'$n'" { n++ } END { print n + 0 }' /tmp/probe.err)"
  done
  for n in 6 7; do
    expect_match "COM$n fails at once, with EIO" "Error \(5\).*COM$n:" "$(grep "COM$n:" /tmp/probe.err)"
  done
  info "7 ports (5 silent, 2 absent): $(ms "$t0" "$t1") ms; their pauses come to 5 x 420 = 2100 ms"
  show_tool probe 8
}

host_after() {
  local n
  for n in 1 2 3 4 5; do
    expect_written "COM$n got the full handshake and nothing else" "$n" "$(full_handshake)"
  done
}
