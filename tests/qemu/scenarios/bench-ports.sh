# Seven silent UARTs, COM1 to COM4 the PC's own and COM5 to COM7 on PCI: jsprobe with no
# controller, three times, set against the pauses the handshake is made of (7 attempts of
# 10 + 10 + 5 + 7 x 5 = 60 ms on each port: 420 ms a port, 2940 ms for seven).

machine() {
  local n
  for n in 1 2 3 4 5 6 7; do uart "$n" silent; done
}

guest() {
  for run in 1 2 3; do
    t0=$(now)
    jsprobe 2>/dev/null
    status=$?
    t1=$(now)
    expect_eq "run $run: no controller, status 0" 0 "$status"
    info "run $run: 7 silent ports in $(ms "$t0" "$t1") ms:" \
      "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", (b - a) / 2.94 }') x their pauses"
  done
}
