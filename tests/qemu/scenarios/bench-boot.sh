# Boot to result: QEMU started to jsprobe's answer reaching the host, with two silent UARTs and
# a controller on the third (as uart-probe), and how that time divides.

machine() {
  uart 1 silent
  uart 2 silent
  uart 3 sim
}

guest() {
  up=$(cut -d' ' -f1 /proc/uptime)
  t0=$(now)
  jsprobe 2>/dev/null
  status=$?
  t1=$(now)
  expect_eq "jsprobe finds the controller on COM3" 3 "$status"
  info "the kernel was up $up s when the scenario began; jsprobe took $(ms "$t0" "$t1") ms"
}

host_after() {
  local answered
  answered=$(sed -n 's/^\([0-9.]*\) @@pass jsprobe finds.*/\1/p' "$dir/bench.log")
  host_info "boot to result: $(awk -v a="$(cat "$dir/qemu-started")" -v b="$answered" \
    'BEGIN { printf "%.2f", b - a }') s from QEMU's start to the answer on the host"
}
