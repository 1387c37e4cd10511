# Taps quicker than the link looks: key 0 pressed and released 1 ms apart, 20 times. A real
# FTDI adapter holds what comes in for up to its latency timer (16 ms) and sends it as one
# packet, so both bytes of a tap arrive in one read. QEMU's adapter sends what it has at once,
# so the bench plays each tap two ways: press, 1 ms, release ("spaced"), and both bytes in one
# write ("packet", what the real adapter makes of it). jsmonitor --record shows how the bytes
# came; jskeys --dry-run taps space 20 times either way, as it takes every change the link kept.

taps() {
  local i script="wait 300"
  for i in $(seq 20); do script+="; $1; wait 200"; done
  printf '%s\n' "$script"
}

machine() {
  local spaced packet
  spaced=$(taps 'press 0; wait 1; release 0')
  packet=$(taps 'raw 40 60')
  ftdi spaced --start-after-handshake --script "$spaced"
  ftdi spaced-seen --start-after-handshake --script "$spaced"
  ftdi packet --start-after-handshake --script "$packet"
  ftdi packet-seen --start-after-handshake --script "$packet"
}

# reads_with_both FILE: how many reads in a recording held both the press and the release.
reads_with_both() { awk '!/^#/ && / 40( |$)/ && / 60( |$)/ { n++ } END { print n + 0 }' "$1"; }
# releases FILE: how many releases of key 0 a recording holds.
releases() { awk '!/^#/ { for (i = 2; i <= NF; i++) if ($i == "60") n++ } END { print n + 0 }' "$1"; }

guest() {
  adapters spaced spaced-seen packet packet-seen
  for way in spaced packet; do
    start_tool "$way" env JS_PORT_DIR="/tmp/ports-$way" jskeys --dry-run
    start_tool "$way-seen" env JS_PORT_DIR="/tmp/ports-$way-seen" \
      jsmonitor --record "/tmp/$way.rec"
  done
  for _ in $(seq 300); do
    [ "$(releases /tmp/spaced.rec)" -ge 20 ] && [ "$(releases /tmp/packet.rec)" -ge 20 ] && break
    sleep 0.1
  done
  sleep 0.5  # the last tap's way through jskeys
  for way in spaced packet; do
    stop_tool "$way" TERM
    stop_tool "$way-seen" TERM
  done
  expect_eq "packet: press and release arrive in one read, all 20 times" 20 \
    "$(reads_with_both /tmp/packet.rec)"
  info "spaced 1 ms apart: $(reads_with_both /tmp/spaced.rec) of 20 taps arrived in one read"
  for way in spaced packet; do
    expect_eq "$way: jskeys taps space 20 times" 20 "$(grep -c ' tap space$' "/tmp/$way.out")"
  done
  head -n 8 /tmp/spaced.rec /tmp/packet.rec
}
