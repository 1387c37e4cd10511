# Host-side helpers the scenarios share (bash), sourced by .ci/qemu-tests.sh before a scenario.

# The bytes a port that never answers gets from one open of the link: 7 attempts, each a reset
# (43) and 8 status requests (40 41 42), in hex as `written` gives them.
full_handshake() {
  local attempt request bytes=""
  for attempt in 1 2 3 4 5 6 7; do
    bytes+=" 43"
    for request in 1 2 3 4 5 6 7 8; do bytes+=" 40 41 42"; done
  done
  printf '%s\n' "${bytes# }"
}

# expect_written NAME N EXPECTED-HEX: the silent COMn got exactly these bytes.
expect_written() {
  local got
  got=$(written "$2")
  if [[ $got == "$3" ]]; then
    host_pass "$1"
  else
    host_fail "$1" "got ${got:-nothing}"
  fi
}
