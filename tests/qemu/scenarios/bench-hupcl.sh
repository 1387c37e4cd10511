# Where "ftdi_sio ttyUSBn: error from flowcontrol urb" comes from: two adapters pulled out while
# jsmonitor holds each. The first keeps the line's HUPCL flag as the link found it (set, the
# default); on the second it was cleared before jsmonitor opened it. The kernel's log of each.

machine() {
  ftdi kept
  ftdi cleared
}

guest() {
  adapters kept cleared
  stty -F /dev/adapters/cleared -hupcl
  for name in kept cleared; do
    start_tool "$name" env JS_PORT_DIR="/tmp/ports-$name" jsmonitor --once
    wait_for "/tmp/$name.out" 'controller on' 20 || fail "$name: controller" "not found"
    info "$name: $(stty -F "/dev/adapters/$name" -a 2>/dev/null | tr ' ;' '\n\n' | grep -E '^-?hupcl$') while open"
  done
  host unplug kept cleared >/dev/null
  for name in kept cleared; do
    wait_tool "$name" 5
    tty=$(grep -o 'ttyUSB[0-9]*' "/tmp/$name.out" | head -n 1)
    info "$name ($tty): kernel: $(dmesg | grep "$tty" | grep -v 'now attached' | sed 's/^\[[ 0-9.]*\] //' | tr '\n' ';')"
  done
  pass "both unplugged"
}
