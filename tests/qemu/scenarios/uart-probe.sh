# jsprobe on the PC's own UARTs by their default names (no JS_PORT_DIR): COM1 and COM2 are
# silent, a controller answers on COM3 and COM4 is silent too. The probe ends with status 3, and
# what it wrote to each port shows what it tried where: the full handshake on COM1 and COM2,
# nothing at all on COM4.

machine() {
  uart 1 silent
  uart 2 silent
  uart 3 sim
  uart 4 silent
}

guest() {
  start_tool probe jsprobe
  stop_tool probe
  expect_eq "jsprobe finds the controller on COM3" 3 "$tool_status"
  expect_match "the log shows COM1 and COM2 tried before COM3" \
    'testing COM1.*testing COM2.*testing COM3.*found JS at COM3' "$(tr '\n' ' ' </tmp/probe.err)"
  show_tool probe 12
}

host_after() {
  expect_written "COM1 got the full handshake and nothing else" 1 "$(full_handshake)"
  expect_written "COM2 got the full handshake and nothing else" 2 "$(full_handshake)"
  expect_written "nothing was written to COM4" 4 ""
  if grep -q 'received get status' "$(sim_log 3)"; then
    host_pass "the controller on COM3 was asked for its status"
  else
    host_fail "the controller on COM3 was asked for its status" "$(tail -n 3 "$(sim_log 3)")"
  fi
}
