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

# A silent port gets 7 attempts, each a reset and 8 status requests.
full_handshake() {
  local attempt request bytes=""
  for attempt in 1 2 3 4 5 6 7; do
    bytes+=" 43"
    for request in 1 2 3 4 5 6 7 8; do bytes+=" 40 41 42"; done
  done
  printf '%s\n' "${bytes# }"
}

host_after() {
  local n
  for n in 1 2; do
    if [[ $(written "$n") == "$(full_handshake)" ]]; then
      host_pass "COM$n got the full handshake and nothing else"
    else
      host_fail "COM$n got the full handshake and nothing else" "got: $(written "$n" | cut -c1-120)"
    fi
  done
  if [[ -z $(written 4) ]]; then
    host_pass "nothing was written to COM4"
  else
    host_fail "nothing was written to COM4" "got: $(written 4 | cut -c1-120)"
  fi
  if grep -q 'received get status' "$(sim_log 3)"; then
    host_pass "the controller on COM3 was asked for its status"
  else
    host_fail "the controller on COM3 was asked for its status" "$(tail -n 3 "$(sim_log 3)")"
  fi
}
