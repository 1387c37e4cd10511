# shellcheck shell=bash disable=SC2154  # $dir and the functions it uses are the runner's
# Host-side helpers the scenarios share (bash), sourced by .ci/qemu-tests.sh before a scenario.
# (The scenario files themselves are read by the guest's busybox sh too: what needs bash goes
# here.)

# The bytes a port that never answers gets from one open of the link: 7 attempts, each a reset
# (43) and 8 status requests (40 41 42), in hex as `written` gives them.
full_handshake() {
  local _ __ bytes=""
  for _ in 1 2 3 4 5 6 7; do
    bytes+=" 43"
    for __ in 1 2 3 4 5 6 7 8; do bytes+=" 40 41 42"; done
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

# latency_figures LINE SIMLOG: from each jog step jssim sent (its --timestamps, host clock) to
# the key event the guest's kernel stamped for it (@@data LINE CODE TIME, guest clock), set
# against each other by the clock offset; writes latency-LINE.txt and reports the spread.
latency_figures() {
  local line=$1 log=$2 sends events
  sends=$(sed -n 's/^jssim: sent jog \(-\{0,1\}1\): 80 [0-9a-f]* @ \([0-9.]*\)$/\1 \2/p' "$log")
  # Right (106) is a step forward, Left (105) one back.
  events=$(guest_data | awk -v l="$line" '$1 == l { print ($2 == 106 ? 1 : -1), $3 }')
  if [[ $(wc -l <<<"$sends") != "$(wc -l <<<"$events")" ]]; then
    host_fail "$line: a key event for every jog step" \
      "$(wc -l <<<"$sends") steps, $(wc -l <<<"$events") key events"
    return 0
  fi
  # Steps that reached the link in one read come out in the translator's order, which need not
  # be the order they were sent in: the events are taken in order all the same, and counted.
  local swapped
  swapped=$(paste -d' ' <(echo "$sends") <(echo "$events") | awk '$1 != $3 { n++ } END { print n + 0 }')
  paste -d' ' <(echo "$sends") <(echo "$events") |
    awk -v offset="$(clock_offset)" '{ print ($4 - offset - $2) * 1000 }' |
    sort -n >"$dir/latency-$line.txt"
  host_info "$line: byte from jssim to key event, $(wc -l <"$dir/latency-$line.txt") strokes" \
    "($swapped came out swapped with a neighbour):" \
    "$(awk '{ v[NR] = $1 } END {
        printf "min %.1f, p50 %.1f, p90 %.1f, p99 %.1f, max %.1f ms",
               v[1], v[int(NR * 0.5 + 0.5)], v[int(NR * 0.9 + 0.5)], v[int(NR * 0.99 + 0.5)], v[NR] }' \
      "$dir/latency-$line.txt")"
  host_pass "$line: a key event for every jog step"
}
