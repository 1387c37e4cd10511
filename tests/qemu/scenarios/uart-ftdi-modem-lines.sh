# What the tools do to the modem control lines DTR and RTS, seen from the host (jsmonitor --list
# must leave them alone: a device that resets on DTR would reset at every look): QEMU's trace of
# the guest's writes to the UART's modem control register (serial_write, register 4: bit 0 DTR,
# bit 1 RTS) and of the FTDI adapter's SET_MODEM_CTRL requests (usb_serial_handle_control,
# request 0x4001: bit 0 DTR, bit 1 RTS, bits 8 and 9 say which of them the request sets). A
# pseudo-terminal has no modem lines, so the simulator cannot see them itself. One UART only
# (COM1), so that every traced register write is its own; the steps are marked on the host.

machine() {
  uart 1 sim
  ftdi usb
  trace serial_write usb_serial_handle_control
}

guest() {
  adapters usb
  for where in uart usb; do
    env=""
    [ "$where" = usb ] && env=JS_PORT_DIR=/tmp/ports-usb
    host mark "$where idle" >/dev/null
    env $env jsmonitor --list --port 1 >/dev/null
    host mark "$where after jsmonitor --list" >/dev/null
    env $env jsprobe 2>/dev/null
    host mark "$where after jsprobe" >/dev/null
    start_tool monitor env $env jsmonitor --port 1
    wait_for /tmp/monitor.out 'controller on' 20 || fail "$where: jsmonitor" "no controller"
    host mark "$where jsmonitor open" >/dev/null
    stop_tool monitor TERM
    host mark "$where after jsmonitor closed" >/dev/null
  done
  pass "the steps ran"
}

# on_off VALUE BIT: "on" when the bit is set.
on_off() { (( $1 & $2 )) && echo on || echo off; }

host_after() {
  # Each trace line and each mark in time order, and what the modem lines are after each.
  local time kind value
  {
    sed -n 's/^[0-9]*@\([0-9.]*\):serial_write write addr 0x04 val 0x\(..\)$/\1 uart \2/p' \
      "$dir/trace.log"
    sed -n 's/^[0-9]*@\([0-9.]*\):usb_serial_handle_control dev [0-9:]* got control 0x4001, value 0x\([0-9a-f]*\)$/\1 usb \2/p' \
      "$dir/trace.log"
    sed -n 's/^\([0-9.]*\) mark \(.*\)$/\1 mark \2/p' "$dir/requests.log"
  } | sort -n | while read -r time kind value; do
    case $kind in
      mark) printf -- '---- %s\n' "$value" ;;
      uart) value=$((16#$value))
            printf '  UART MCR: DTR %s, RTS %s, OUT2 %s\n' "$(on_off $value 1)" "$(on_off $value 2)" \
              "$(on_off $value 8)" ;;
      usb) value=$((16#$value))
           printf '  FTDI SET_MODEM_CTRL:%s%s\n' \
             "$( ((value & 256)) && echo " DTR $(on_off $value 1)")" \
             "$( ((value & 512)) && echo " RTS $(on_off $value 2)")" ;;
    esac
  done >"$dir/modem-lines.txt"
  sed 's/^/  | /' "$dir/modem-lines.txt"
  [[ -s $dir/modem-lines.txt ]] && host_pass "modem-line timeline written"
  local where touched
  for where in uart usb; do
    # What happened between the mark before --list and the one after it.
    touched=$(sed -n "/^---- $where idle\$/,/^---- $where after jsmonitor --list\$/p" \
      "$dir/modem-lines.txt" | grep -c -v '^----' || true)
    if [[ $touched == 0 ]]; then
      host_pass "$where: jsmonitor --list leaves DTR and RTS alone"
    else
      host_fail "$where: jsmonitor --list leaves DTR and RTS alone" "$touched changes of the lines"
    fi
  done
}
