# A PC's 8250 driver makes ttyS0 to ttyS3 whether or not a UART is behind them. Such a port
# opens, and fails only at its first ioctl, with EIO. Here COM1 is a silent UART and COM2 to
# COM4 have none: jsmonitor --list tells them missing, and jsmonitor --wait, looking for a
# controller, stays quiet about them.

machine() {
  uart 1 silent
}

guest() {
  listing=$(jsmonitor --list 2>&1)
  for n in 2 3 4; do
    expect_match "COM$n (no UART) is listed as missing" 'missing \(no UART behind it\)' \
      "$(printf '%s\n' "$listing" | grep "^COM$n ")"
  done
  start_tool monitor jsmonitor --wait
  if wait_for /tmp/monitor.err 'waiting for one to appear' 30; then
    pass "jsmonitor --wait finds no controller and keeps looking"
  else
    fail "jsmonitor --wait finds no controller and keeps looking" "it never said so"
  fi
  from=$(now)
  sleep 10
  to=$(now)
  stop_tool monitor TERM
  expect_eq "jsmonitor --wait ended by SIGTERM: exit status" 0 "$tool_status"
  expect_at_most "jsmonitor --wait: at most 20 log lines in 10 s of looking" 20 \
    "$(lines_between /tmp/monitor.err "$from" "$to")"
  info "what it logged, a second of it:" \
    "$(awk -v a="$from" '$1 > a && $1 < a + 1 { $1 = ""; print }' /tmp/monitor.err | sort | uniq -c |
       tr -s ' \n' '  ')"
}
