# Line settings on real UARTs: every tool leaves each port as it found it, whether it ends by
# itself or by SIGINT, SIGTERM or SIGHUP; while the link holds the controller's port the line is
# raw at 19200 baud 8N1, in the guest and on the wire. On the wire means the host's side: the
# simulator's pseudo-terminal, which QEMU sets as the guest sets its UART (a pseudo-terminal
# keeps the speed, parodd and cstopb of that; data bits and parity come from QEMU's trace of
# the UART's own settings).

machine() {
  uart 1 silent
  uart 2 silent
  uart 3 sim
  trace serial_update_parameters
}

# pty N: the host's side of COMn's simulator, as the guest's `host pty N` asks for it: the speed
# and frame its pseudo-terminal has (a pseudo-terminal keeps only the speed, parodd and cstopb of
# what QEMU sets, and is always cs8 -parenb), and the last frame QEMU's trace shows the emulated
# UARTs set to (any of them: the trace does not say which).
request_pty() {
  local settings
  settings=$(stty -F "$dir/com$1" -a 2>&1) || { reply="stty: $settings"; return 1; }
  reply="speed=$(printf '%s\n' "$settings" | sed -n 's/.*speed \([0-9]*\) baud.*/\1/p')"
  reply="$reply $(printf '%s\n' "$settings" | tr ' ;' '\n\n' |
                  grep -E '^(-?(parenb|parodd|cstopb)|cs[5-8])$' | tr '\n' ' ')"
  reply="${reply}uart: $(sed -n 's/.*serial_update_parameters //p' "$dir/trace.log" | tail -n 1)"
}

# The settings that matter, from stty -a, as words: speed=N min=N time=N and the flags.
line_of() {
  settings=$(stty -F "$1" -a 2>/dev/null)
  printf 'speed=%s min=%s time=%s %s\n' \
    "$(echo "$settings" | sed -n 's/.*speed \([0-9]*\) baud.*/\1/p')" \
    "$(echo "$settings" | sed -n 's/.*min = \([0-9]*\).*/\1/p')" \
    "$(echo "$settings" | sed -n 's/.*time = \([0-9]*\).*/\1/p')" \
    "$(echo "$settings" | tr ' ;' '\n\n' | grep -E '^-?[a-z]+[0-9]?$' | tr '\n' ' ')"
}

guest() {
  # Far from the link's settings in every respect it changes.
  for n in 0 1 2; do
    stty -F "/dev/ttyS$n" 2400 cs7 parenb parodd cstopb icanon echo isig opost ixon icrnl
  done
  # tool, how it ends (- by itself), its exit status then. A tool that ends by signal is
  # signalled once it holds a port: jsprobe while COM1's handshake is under way, the others once
  # they have the controller on COM3.
  while read -r tool signal expected; do
    case $tool in
      jsprobe) command="jsprobe"; ready='testing COM1' ;;
      jsmonitor) command="jsmonitor"; ready='controller on COM3' ;;
      jskeys) command="jskeys --dry-run"; ready='controller on COM3' ;;
    esac
    [ "$signal" = - ] && signal=""
    case_name="$tool ended by ${signal:-itself}"
    before=""
    for n in 0 1 2; do before="$before $(stty -F "/dev/ttyS$n" -g)"; done
    # shellcheck disable=SC2086  # the command and its options
    start_tool run $command
    if [ -n "$signal" ]; then
      wait_for "/tmp/run.out /tmp/run.err" "$ready" 30 ||
        fail "$case_name: started" "never said '$ready'"
      if [ "$tool" != jsprobe ]; then
        has_all "$case_name: raw 19200 8N1 in the guest while open" "$(line_of /dev/ttyS2)" \
          speed=19200 min=0 time=0 cs8 -parenb -cstopb -icanon -echo -isig -opost -ixon -icrnl
        has_all "$case_name: 19200 8N1 on the wire while open" "$(host pty 3)" \
          speed=19200 -parodd -cstopb "baudrate=19200" "parity='N'" "data=8" "stop=1"
      fi
    fi
    stop_tool run "$signal"
    expect_eq "$case_name: exit status" "$expected" "$tool_status"
    after=""
    for n in 0 1 2; do after="$after $(stty -F "/dev/ttyS$n" -g)"; done
    if [ "$before" = "$after" ]; then
      pass "$case_name: COM1 to COM3 as they were"
    else
      fail "$case_name: COM1 to COM3 as they were" "before:$before after:$after"
    fi
    has_all "$case_name: the wire back at 2400 baud, odd, 2 stop bits" "$(host pty 3)" \
      speed=2400 parodd cstopb
    [ "$tool_status" = "$expected" ] || show_tool run
  done <<CASES
jsprobe - 3
jsprobe TERM 143
jsprobe HUP 129
jsmonitor INT 0
jsmonitor TERM 0
jsmonitor HUP 0
jskeys INT 0
jskeys TERM 0
jskeys HUP 0
jskeys QUIT 0
CASES
}
