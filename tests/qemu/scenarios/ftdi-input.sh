# Input through an FTDI USB adapter (ftdi_sio): jsmonitor, jskeys --dry-run and jskeys with its
# uinput keyboard each see a key, a key with the S modifier (key 5) held, jog both ways and the
# shuttle, played by the controller behind their own adapter once the link has found it. What
# jskeys typed is read back from /dev/input by evdev_reader.

# press and release a plain key, then key 1 under the S modifier, jog 3 and -2, shuttle 3 for a
# while, and key 8 last, as the sign that everything has come.
readonly input_script='wait 300; press 0; wait 150; release 0; wait 150; press 5; wait 150;
  press 1; wait 150; release 1; wait 150; release 5; wait 150; jog 3; wait 150; jog -2; wait 150;
  shuttle 3; wait 350; shuttle 0; wait 150; press 8; wait 150; release 8'

machine() {
  local name
  for name in monitor dry keys; do
    ftdi "$name" --start-after-handshake --script "$input_script"
  done
}

# count FILE TEXT: how many lines of FILE are TEXT after their time stamps.
count() { awk -v text="$2" '{ sub(/^([0-9.]+ )+/, "") } $0 == text { n++ } END { print n + 0 }' "$1"; }

guest() {
  adapters monitor dry keys
  start_tool events evdev_reader
  start_tool monitor env JS_PORT_DIR=/tmp/ports-monitor jsmonitor --s-modifiers 0x40
  start_tool dry env JS_PORT_DIR=/tmp/ports-dry jskeys --dry-run
  start_tool keys env JS_PORT_DIR=/tmp/ports-keys jskeys --backend uinput
  wait_for /tmp/monitor.out 'K \[K8\]' 30 || fail "jsmonitor saw the last key" "no K8"
  wait_for /tmp/dry.out 'tap m' 10 || fail "jskeys --dry-run saw the last key" "no tap m"
  wait_for /tmp/events.out 'key 50 0' 10 || fail "the uinput keyboard typed the last key" "no M"
  for tool in monitor dry keys events; do stop_tool "$tool" TERM; done

  expect_match "jsmonitor: the controller on COM1, the adapter's tty" \
    'controller on COM1 \(/dev/ttyUSB[0-9]\)' "$(cat /tmp/monitor.out)"
  for shown in 'held \[K0\]  K \[K0\]' 'held \[K1 K5\]  K \[\]  S \[K1\]' 'jog \+3 -0' \
               'jog \+3 -2  shuttle \+3' 'K \[K8\]'; do
    check "jsmonitor shows /$shown/" grep -Eq -- "$shown" /tmp/monitor.out
  done
  check "jsmonitor shows the shuttle back at 0" \
    awk '/shuttle \+3$/ { out = 1 } out && /shuttle \+0$/ { back = 1 } END { exit !back }' \
    /tmp/monitor.out
  # how many times, the action
  while read -r times action; do
    expect_eq "jskeys --dry-run: $action x$times" "$times" "$(count /tmp/dry.out "$action")"
  done <<ACTIONS
1 tap space
1 tap ctrl+shift+z
2 tap Left
1 tap m
ACTIONS
  expect_at_least "jskeys --dry-run: tap Right, 3 for the jog and more for the shuttle" 4 \
    "$(count /tmp/dry.out 'tap Right')"
  # key code (input-event-codes.h), how many times it went down
  while read -r code times what; do
    expect_eq "uinput: $what down x$times" "$times" "$(count /tmp/events.out "key $code 1")"
  done <<CODES
57 1 space
29 1 ctrl
42 1 shift
44 1 z
105 2 Left
50 1 m
CODES
  expect_at_least "uinput: Right down, 3 for the jog and more for the shuttle" 4 \
    "$(count /tmp/events.out 'key 106 1')"
  show_tool events 5
}
