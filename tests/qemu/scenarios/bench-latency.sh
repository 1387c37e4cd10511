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
  adapters usb
  info "the adapter's latency timer in the guest's driver:" \
    "$(cat /sys/class/tty/"$(basename "$(readlink /dev/adapters/usb)")"/device/latency_timer) ms"
  info "clock before: $(answer_pings)"
  for line in uart usb; do
    env=""
    [ "$line" = usb ] && env=JS_PORT_DIR=/tmp/ports-usb
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

# Answers the host's pings with the guest's time until the host is done (see clock_sync).
answer_pings() {
  say "@@host clock-sync"
  while IFS= read -r ping <&3; do
    case $ping in
      "@@ping "*) say "@@pong ${ping#@@ping } $EPOCHREALTIME" ;;
      "@@ok"*) printf '%s\n' "${ping#@@ok }"; return 0 ;;
      *) echo "clock-sync: $ping"; return 1 ;;
    esac
  done
  return 1
}

# The host's side of the pings: the exchange with the shortest round trip bounds the guest
# clock's offset best (to half of it); kept in clock-sync.log.
request_clock_sync() {
  local i t0 t1 best="" rtt offset
  for i in $(seq 20); do
    t0=$EPOCHREALTIME
    answer "@@ping $i"
    read_guest_line 5 || { reply="no pong"; return 1; }
    t1=$EPOCHREALTIME
    case $line in "@@pong $i "*) ;; *) reply="unexpected: $line"; return 1 ;; esac
    rtt=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    offset=$(awk -v a="$t0" -v b="$t1" -v g="${line##* }" 'BEGIN { printf "%.6f", g - (a + b) / 2 }')
    if [ -z "$best" ] || awk -v r="$rtt" -v b="${best%% *}" 'BEGIN { exit !(r < b) }'; then
      best="$rtt $offset"
    fi
  done
  printf '%s\n' "$best" >>"$dir/clock-sync.log"
  reply="rtt=${best%% *} offset=${best##* }"
}

# latency_figures LINE: from each jog step jssim sent (its --timestamps, host clock) to the key
# event the guest's kernel stamped for it (@@data LINE CODE TIME, guest clock), set against each
# other by the clock offset; writes latency-LINE.txt and reports the spread.
latency_figures() {
  local line=$1 offset swapped
  # Right (106) is a step forward, Left (105) one back.
  sed -n 's/^jssim: sent jog \(-\{0,1\}1\): 80 [0-9a-f]* @ \([0-9.]*\)$/\1 \2/p' \
    "$(sim_log "$2")" >"$dir/sends-$line.txt"
  sed -n 's/^[0-9.]* @@data //p' "$dir/bench.log" |
    awk -v l="$line" '$1 == l { print ($2 == 106 ? 1 : -1), $3 }' >"$dir/events-$line.txt"
  if [ "$(wc -l <"$dir/sends-$line.txt")" != "$(wc -l <"$dir/events-$line.txt")" ]; then
    host_fail "$line: a key event for every jog step" \
      "$(wc -l <"$dir/sends-$line.txt") steps, $(wc -l <"$dir/events-$line.txt") key events"
    return 0
  fi
  # Steps that reached the link in one read come out in the translator's order, which need not
  # be the order they were sent in: the events are taken in order all the same, and counted.
  paste -d' ' "$dir/sends-$line.txt" "$dir/events-$line.txt" >"$dir/pairs-$line.txt"
  swapped=$(awk '$1 != $3 { n++ } END { print n + 0 }' "$dir/pairs-$line.txt")
  offset=$(sort -n "$dir/clock-sync.log" | head -n 1 | cut -d' ' -f2)
  awk -v offset="$offset" '{ print ($4 - offset - $2) * 1000 }' "$dir/pairs-$line.txt" |
    sort -n >"$dir/latency-$line.txt"
  host_info "$line: byte from jssim to key event, $(wc -l <"$dir/latency-$line.txt") strokes" \
    "($swapped came out swapped with a neighbour):" \
    "$(awk '{ v[NR] = $1 } END {
        printf "min %.1f, p50 %.1f, p90 %.1f, p99 %.1f, max %.1f ms",
               v[1], v[int(NR * 0.5 + 0.5)], v[int(NR * 0.9 + 0.5)], v[int(NR * 0.99 + 0.5)], v[NR] }' \
      "$dir/latency-$line.txt")"
  host_pass "$line: a key event for every jog step"
}

host_after() {
  latency_figures uart 1
  latency_figures usb usb
  host_info "clock offsets (guest minus host, s) and their round trips: $(tr '\n' ';' <"$dir/clock-sync.log")"
}
