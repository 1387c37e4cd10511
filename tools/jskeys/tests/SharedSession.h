#pragma once
// One map and one session that every way of sending keys must play alike: the dry run prints the
// actions as they stand, and the X11 and Wayland tests expect the events each action makes at a
// client of theirs, rendered from the same actions here.

#include <cstdint>
#include <string>
#include <vector>

#include "KeyNames.h"
#include "TestMaps.h"

namespace jskeys_test {

inline const std::string kSessionMap = TestMap(R"(
1 = { send = "button1", hold = true }
3 = "ctrl+wheel_up"
4 = "wheel_right"
7 = { send = "shift", hold = true }
[default.jog]
forward = "Right"
back = "wheel_down"
)");

struct SessionStep {
  std::vector<std::uint8_t> bytes;   // from the controller, in one write
  std::vector<std::string> actions;  // as the dry run prints them
};

inline const std::vector<SessionStep> kSessionSteps = {
    {{0x40}, {"tap space"}},
    {{0x60}, {}},
    {{0x40, 0x60}, {"tap space"}},  // a tap within one read
    {{0x42}, {"tap ctrl+z"}},
    {{0x62}, {}},
    {{0x45, 0x40}, {"tap shift+Right"}},  // with the S modifier held
    {{0x60, 0x65}, {}},
    {{0x46, 0x40}, {"tap ctrl+c"}},  // with the C modifier held
    {{0x60, 0x66}, {}},
    {{0x41}, {"press button1"}},  // held as long as the key is
    {{0x61}, {"release button1"}},
    {{0x47}, {"press shift"}},
    {{0x67}, {"release shift"}},
    {{0x43}, {"tap ctrl+wheel_up"}},
    {{0x63}, {}},
    {{0x44}, {"tap wheel_right"}},
    {{0x64}, {}},
    {{0x80, 0x02}, {"tap Right", "tap Right"}},
    {{0x80, 0xFF}, {"tap wheel_down"}},
};

// What an action is: a tap, a press or a release of a combination.
struct Stroke {
  bool down = false, up = false;
  jskeys::KeyCombo combo;
};

inline Stroke StrokeOf(const std::string& action) {
  Stroke stroke;
  const std::size_t space = action.find(' ');
  const std::string verb = action.substr(0, space);
  stroke.down = verb != "release";
  stroke.up = verb != "press";
  std::string error;
  jskeys::ParseCombo(action.substr(space + 1), stroke.combo, error);
  return stroke;
}

// The events an action makes, given how a client shows a modifier, a key, a button and a wheel
// step going down and up. `modifier` and `thing` give the events for one key going down or up.
template <typename Modifier, typename Thing>
std::vector<std::string> Render(const std::string& action, Modifier modifier, Thing thing) {
  const Stroke stroke = StrokeOf(action);
  std::vector<std::string> events;
  auto add = [&](const std::vector<std::string>& more) {
    events.insert(events.end(), more.begin(), more.end());
  };
  std::vector<jskeys::Modifier> held;
  for (const jskeys::Modifier m : jskeys::kModifierOrder) {
    if ((stroke.combo.modifiers & m) != 0) held.push_back(m);
  }
  if (stroke.down) {
    for (const jskeys::Modifier m : held) add(modifier(m, true));
    if (stroke.combo.key) add(thing(jskeys::AllKeys()[*stroke.combo.key], true));
  }
  if (stroke.up) {
    if (stroke.combo.key) add(thing(jskeys::AllKeys()[*stroke.combo.key], false));
    for (auto m = held.rbegin(); m != held.rend(); ++m) add(modifier(*m, false));
  }
  return events;
}

inline const char* ModifierKeyName(jskeys::Modifier m) {
  switch (m) {
    case jskeys::kCtrl: return "Control_L";
    case jskeys::kShift: return "Shift_L";
    case jskeys::kAlt: return "Alt_L";
    case jskeys::kSuper: return "Super_L";
  }
  return "?";
}

// At an X client (KeyRecorder): "Editor down Control_L"; buttons 1 to 3, and the wheel as
// buttons 4 to 7 pressed and released, go to the window under the pointer.
inline std::vector<std::string> X11Events(const std::string& action, const std::string& window) {
  return Render(
      action,
      [&](jskeys::Modifier m, bool down) {
        return std::vector<std::string>{window + (down ? " down " : " up ") + ModifierKeyName(m)};
      },
      [&](const jskeys::KeyInfo& key, bool down) -> std::vector<std::string> {
        const std::string name = key.name;
        if (name.rfind("wheel_", 0) == 0) {
          if (!down) return {};
          const std::string button = name == "wheel_up"     ? "button4"
                                     : name == "wheel_down" ? "button5"
                                     : name == "wheel_left" ? "button6"
                                                            : "button7";
          return {window + " down " + button, window + " up " + button};
        }
        return {window + (down ? " down " : " up ") + name};
      });
}

// At wev: "down Control_L" and then the modifiers now held ("mods Control", "mods none");
// buttons as "press left"; a wheel step as an axis event, once, on its way down.
inline std::vector<std::string> WaylandEvents(const std::string& action) {
  return Render(
      action,
      [](jskeys::Modifier m, bool down) {
        const std::string name = m == jskeys::kCtrl    ? "Control"
                                 : m == jskeys::kShift ? "Shift"
                                 : m == jskeys::kAlt   ? "Mod1"
                                                       : "Mod4";
        return std::vector<std::string>{std::string(down ? "down " : "up ") + ModifierKeyName(m),
                                        down ? "mods " + name : "mods none"};
      },
      [](const jskeys::KeyInfo& key, bool down) -> std::vector<std::string> {
        const std::string name = key.name;
        if (name.rfind("button", 0) == 0) {
          const std::string which = name == "button1" ? "left" : name == "button2" ? "middle" : "right";
          return {(down ? "press " : "release ") + which};
        }
        if (name.rfind("wheel_", 0) == 0) {
          if (!down) return {};
          const bool vertical = name == "wheel_up" || name == "wheel_down";
          const bool back = name == "wheel_up" || name == "wheel_left";
          return {std::string("axis ") + (vertical ? "vertical " : "horizontal ") +
                  (back ? "-15.000000 discrete -1" : "15.000000 discrete 1")};
        }
        return {(down ? "down " : "up ") + name};
      });
}

}  // namespace jskeys_test
