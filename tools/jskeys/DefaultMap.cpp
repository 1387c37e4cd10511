#include "KeyMap.h"

namespace jskeys {

// Shown in the README; keep the two the same.
std::string_view DefaultMapText() {
  return R"toml(# jskeys map for video editing.
# Keys are numbered 0 to 8. Each key sends what the table for its modifier class says:
# [keys] when no modifier key was held as it went down, [s_keys] with an S modifier held,
# [c_keys] with a C modifier held, [sc_keys] with both.

[modifiers]
s = [5]                                  # key 5 is the S modifier
c = [6]                                  # key 6 is the C modifier

[default.keys]
0 = "space"                              # play / pause
1 = "i"                                  # mark in
2 = "o"                                  # mark out
3 = "Home"                               # to the start
4 = "End"                                # to the end
7 = { send = "shift", hold = true }      # shift, held as long as key 7 is
8 = "m"                                  # add a marker

[default.s_keys]
0 = "ctrl+z"                             # undo
1 = "ctrl+shift+z"                       # redo
3 = "Up"                                 # previous edit point
4 = "Down"                               # next edit point

[default.c_keys]
0 = "ctrl+s"                             # save
1 = "ctrl+c"                             # copy
2 = "ctrl+v"                             # paste

[default.jog]
forward = "Right"                        # one frame on per step
back = "Left"                            # one frame back per step

# Shuttle position (-7..7) = a key repeated every so many milliseconds; 0 stops.
[default.shuttle]
1 = { send = "Right", every_ms = 400 }
2 = { send = "Right", every_ms = 200 }
3 = { send = "Right", every_ms = 100 }
4 = { send = "Right", every_ms = 50 }
5 = { send = "shift+Right", every_ms = 200 }
6 = { send = "shift+Right", every_ms = 100 }
7 = { send = "shift+Right", every_ms = 50 }
-1 = { send = "Left", every_ms = 400 }
-2 = { send = "Left", every_ms = 200 }
-3 = { send = "Left", every_ms = 100 }
-4 = { send = "Left", every_ms = 50 }
-5 = { send = "shift+Left", every_ms = 200 }
-6 = { send = "shift+Left", every_ms = 100 }
-7 = { send = "shift+Left", every_ms = 50 }

# Per application: the first section whose class pattern (a regular expression) is found in
# the focused window's class wins; what it leaves out comes from [default].
[[application]]
name = "Kdenlive"
class = "^kdenlive$"
[application.keys]
3 = "j"                                  # play backwards (again: faster)
4 = "l"                                  # play forwards (again: faster)
8 = "k"                                  # stop
)toml";
}

}  // namespace jskeys
