// The map: key names, good files, and bad files refused with their line and reason.

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "KeyMap.h"
#include "SerialJS.h"

namespace {

using jskeys::KeyCombo;
using jskeys::KeyMap;
using jskeys::MapError;
using jskeys::ParseMap;

// A good combination reads back in one canonical form; a bad one is refused with its reason.
TEST(KeyCombo, NamesRoundTripOrAreRefused) {
  struct Case {
    const char* text;
    bool ok;
    const char* canonicalOrReason;
  };
  const Case cases[] = {
      {"space", true, "space"},
      {"ctrl+z", true, "ctrl+z"},
      {"shift+Right", true, "shift+Right"},
      {"shift+ctrl+z", true, "ctrl+shift+z"},  // modifiers in one order whatever the map says
      {"Control+Alt+Delete", true, "ctrl+alt+Delete"},
      {"shift", true, "shift"},
      {"meta+Enter", true, "super+Return"},
      {"Esc", true, "Escape"},
      {"PageUp", true, "Page_Up"},
      {"F12", true, "F12"},
      {"9", true, "9"},
      {"wheel_down", true, "wheel_down"},
      {"ctrl+wheel_up", true, "ctrl+wheel_up"},
      {"shift+ctrl+button1", true, "ctrl+shift+button1"},
      {"", false, "empty key combination"},
      {"ctrl+", false, "empty part"},
      {"+z", false, "empty part"},
      {"ctrl++z", false, "empty part"},
      {"foo", false, "unknown key name 'foo'"},
      {"Z", false, "write shift+z for a capital"},
      {"z+ctrl", false, "the key must come last"},
      {"a+b", false, "the key must come last"},
      {"ctrl+ctrl+z", false, "names a modifier twice"},
      {"Control_L", false, "name modifiers as ctrl"},
      {"F13", false, "unknown key name 'F13'"},
      {"button4", false, "unknown key name 'button4'"},  // the wheel has names of its own
      {"wheel_up+ctrl", false, "the key must come last"},
      {"button1+wheel_up", false, "the key must come last"},
  };
  for (const Case& c : cases) {
    KeyCombo combo;
    std::string error;
    ASSERT_EQ(c.ok, jskeys::ParseCombo(c.text, combo, error)) << c.text << ": " << error;
    if (c.ok) {
      EXPECT_EQ(c.canonicalOrReason, jskeys::ComboText(combo));
    } else {
      EXPECT_NE(std::string::npos, error.find(c.canonicalOrReason)) << c.text << ": " << error;
    }
  }
}

TEST(KeyNames, EveryKeyHasACodeForEachOutputAndAUniqueName) {
  std::set<std::string> names;
  std::set<unsigned> evdev;
  std::set<jskeys::Pointer> pointers;
  for (const jskeys::KeyInfo& key : jskeys::AllKeys()) {
    EXPECT_TRUE(names.insert(key.name).second) << key.name;
    EXPECT_EQ(jskeys::FindKey(key.name), static_cast<jskeys::KeyId>(&key - jskeys::AllKeys().data()));
    if (key.pointer == jskeys::Pointer::kNone) {
      EXPECT_NE(0u, key.keysym) << key.name;
    } else {
      EXPECT_EQ(0u, key.keysym) << key.name;  // XTest sends these as buttons, not keys
      EXPECT_TRUE(pointers.insert(key.pointer).second) << key.name;
    }
    if (jskeys::IsWheel(key.pointer)) {
      EXPECT_EQ(0u, key.evdev) << key.name;  // a relative axis, not a key code
      continue;
    }
    EXPECT_TRUE(evdev.insert(key.evdev).second) << key.name;
    EXPECT_NE(0u, key.vk) << key.name;
  }
  EXPECT_EQ(7u, pointers.size());  // three buttons and four wheel directions
}

TEST(KeyMap, TheBuiltInMapIsGood) {
  KeyMap map;
  MapError error;
  ASSERT_TRUE(ParseMap(jskeys::DefaultMapText(), "built-in", map, error)) << error.Text();
  EXPECT_EQ(SerialJS::kKeyMasks[5], map.sModifiers);
  EXPECT_EQ(SerialJS::kKeyMasks[6], map.cModifiers);
  ASSERT_TRUE(map.defaults.keys[0][0]);
  EXPECT_EQ("space", jskeys::ComboText(map.defaults.keys[0][0]->combo));
  for (int position = -7; position <= 7; ++position) {
    EXPECT_EQ(position != 0, map.defaults.ShuttleAt(position).has_value()) << position;
  }
  ASSERT_EQ(1u, map.applications.size());
  EXPECT_EQ("Kdenlive", map.applications[0].name);
}

TEST(KeyMap, FieldsAndFallBackToTheDefault) {
  KeyMap map;
  MapError error;
  ASSERT_TRUE(ParseMap(R"(
[modifiers]
s = [5, 8]
c = []
[default.keys]
0 = "a"
1 = { send = "b", hold = true }
[default.shuttle]
-128 = { send = "Left", every_ms = 5 }
127 = { send = "Right", every_ms = 10000 }
[[application]]
class = "x.*y"
keys = { 0 = "c" }
[[application]]
name = "second"
class = "x"
)", "t.toml", map, error)) << error.Text();
  EXPECT_EQ(SerialJS::kKeyMasks[5] | SerialJS::kKeyMasks[8], map.sModifiers);
  EXPECT_EQ(0u, map.cModifiers);
  EXPECT_TRUE(map.defaults.keys[0][1]->hold);
  EXPECT_EQ(5u, map.defaults.ShuttleAt(-128)->everyMs);
  EXPECT_EQ(10000u, map.defaults.ShuttleAt(127)->everyMs);
  ASSERT_EQ(2u, map.applications.size());
  EXPECT_EQ("x.*y", map.applications[0].name);  // unnamed: its pattern
  EXPECT_EQ("c", jskeys::ComboText(map.applications[0].keys[0][0]->combo));
  EXPECT_EQ("b", jskeys::ComboText(map.applications[0].keys[0][1]->combo));  // from default
  // First match wins, in the file's order; no match: the default.
  EXPECT_EQ("x.*y", jskeys::SectionFor(map, "axbyc").name);
  EXPECT_EQ("second", jskeys::SectionFor(map, "xa").name);
  EXPECT_EQ("default", jskeys::SectionFor(map, "zzz").name);
  EXPECT_EQ("default", jskeys::SectionFor(map, "").name);
}

std::string Applications(int count, const std::string& pattern = "x") {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "[[application]]\nclass = \"" + pattern + std::to_string(i) + "\"\n";
  }
  return text;
}

std::string Repeated(std::string_view part, std::size_t count, std::string_view between = "") {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) (text += i ? between : "") += part;
  return text;
}

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// A fault in a player's or MIDI action; on Windows the action itself is refused first, at its
// place.
const char* Beyond(const char* reason) {
  return kWindows ? "not available on Windows yet" : reason;
}

// Each needs all a pattern may have: the map's budget takes 32 of them.
constexpr const char* kCostliestPattern = "\\\\pL{3}N";

TEST(KeyMap, BadMapsAreRefusedWithLineAndReason) {
  struct Case {
    std::string text;
    std::uint32_t line;
    const char* reason;
  };
  const Case cases[] = {
      {"[default.keys]\n0 = \"space\"\n1 = \"foo\"\n", 3, "unknown key name 'foo'"},
      {"[default.keys]\n9 = \"a\"\n", 2, "key number out of 0..8"},
      {"[default.keys]\n-1 = \"a\"\n", 2, "key number out of 0..8"},
      {"[default.s_keys]\nx = \"a\"\n", 2, "key number out of 0..8"},
      {"[modifiers]\ns = [9]\n", 2, "key number out of 0..8"},
      {"[modifiers]\ns = [1.5]\n", 2, "key number out of 0..8"},
      {"[modifiers]\ns = 5\n", 2, "a list of key numbers"},
      {"[modifiers]\ns = [5]\nc = [5]\n", 1, "both an S and a C modifier"},
      {"[modifiers]\ns = [5]\n[default.keys]\n5 = \"a\"\n", 4, "is a modifier key"},
      {"[default.shuttle]\n1 = { send = \"l\", every_ms = 0 }\n", 2, "bad rate"},
      {"[default.shuttle]\n1 = { send = \"l\", every_ms = 20000 }\n", 2, "bad rate"},
      {"[default.shuttle]\n1 = { send = \"l\", every_ms = \"fast\" }\n", 2, "bad rate"},
      {"[default.shuttle]\n1 = { send = \"l\" }\n", 2, "needs both 'send' and 'every_ms'"},
      {"[default.shuttle]\n1 = \"l\"\n", 2, "needs { send = KEY, every_ms = N }"},
      {"[default.shuttle]\n0 = { send = \"l\", every_ms = 10 }\n", 2,
       "shuttle position 0 is the ring at rest: it takes a player or a MIDI action, not keys"},
      {"[default.shuttle]\n0 = { sequence = [\"k\"] }\n", 2, "shuttle position 0 is the ring at rest"},
      {"[default.shuttle]\n1 = { sequence = [] }\n", 2,
       "a sequence is a list of 1 to 16 combinations, e.g. [\"k\", \"l\", \"l\"]"},
      {"[default.shuttle]\n1 = { sequence = [" + Repeated("\"k\"", 17, ", ") + "] }\n", 2,
       "a sequence is a list of 1 to 16"},
      {"[default.shuttle]\n1 = { sequence = [\"k\", \"nope\"] }\n", 2, "unknown key name 'nope'"},
      {"[default.shuttle]\n1 = { sequence = [\"k\"], every_ms = 5 }\n", 2,
       "unknown field 'every_ms' (expected sequence)"},
      {"[default.shuttle]\n1 = { player = \"rate\", rate = 0 }\n", 2,
       Beyond("a rate needs 'rate', a number from -32 to 32, not 0")},
      {"[default.shuttle]\n1 = { player = \"rate\", rate = 32.5 }\n", 2, Beyond("a rate needs 'rate'")},
      {"[default.shuttle]\n1 = { player = \"rate\", rate = \"fast\" }\n", 2, Beyond("a rate needs 'rate'")},
      {"[default.shuttle]\n1 = { player = \"rate\" }\n", 2, Beyond("a rate needs 'rate'")},
      {"[default.shuttle]\n1 = { midi = \"cc\", cc = 1, value = 2, up = 3 }\n", 2,
       Beyond("unknown field 'up' (expected midi, cc, value or channel)")},
      {"[default.shuttle]\n1 = { midi = \"note\", note = 1 }\n", 2,
       Beyond("a note is for keys; here write midi = \"cc\"")},
      {"[default.keys]\n0 = { player = \"rewind\" }\n", 2,
       Beyond("unknown player action (expected play_pause, play, pause, stop, next, previous, seek "
              "or rate)")},
      {"[default.keys]\n0 = { player = \"seek\" }\n", 2,
       Beyond("a seek needs 'ms', a whole number of milliseconds from -3600000 to 3600000, not 0")},
      {"[default.keys]\n0 = { player = \"seek\", ms = 0 }\n", 2, Beyond("a seek needs 'ms'")},
      {"[default.keys]\n0 = { player = \"seek\", ms = -3600001 }\n", 2, Beyond("a seek needs 'ms'")},
      {"[default.keys]\n0 = { player = \"play\", hold = true }\n", 2,
       Beyond("only a key combination can be held; leave out 'hold'")},
      {"[default.keys]\n0 = { player = \"rate\", rate = 2 }\n", 2,
       Beyond("a rate is for shuttle positions")},
      {"[default.keys]\n0 = { player = \"play\", ms = 5 }\n", 2,
       Beyond("unknown field 'ms' (expected player)")},
      {"[default.keys]\n0 = { midi = \"pitch\" }\n", 2,
       Beyond("unknown MIDI action (expected note or cc)")},
      {"[default.keys]\n0 = { midi = \"note\", note = 128 }\n", 2,
       Beyond("'note' must be a whole number from 0 to 127")},
      {"[default.keys]\n0 = { midi = \"note\", note = 60, velocity = 0 }\n", 2,
       Beyond("'velocity' must be a whole number from 1 to 127")},
      {"[default.keys]\n0 = { midi = \"cc\", cc = 1, value = 1, channel = 17 }\n", 2,
       Beyond("'channel' must be a whole number from 1 to 16")},
      {"[default.keys]\n0 = { midi = \"cc\", cc = 1 }\n", 2, Beyond("a cc needs 'value'")},
      {"[default.keys]\n0 = { midi = \"note\", note = 1, hold = true }\n", 2,
       Beyond("only a key combination can be held")},
      {"[default.jog]\nforward = { player = \"play_pause\" }\n", 2,
       Beyond("a jog step takes player = \"seek\", ms = N")},
      {"[default.jog]\nback = { midi = \"note\", note = 1 }\n", 2, Beyond("a note is for keys")},
      {"[default.jog]\nback = { send = \"a\" }\n", 2,
       "a jog step takes a combination, { player = \"seek\", ms = N } or { midi = \"cc\", cc = N, "
       "value = N }"},
      {"[default]\nmpris = \"my player\"\n", 2, Beyond("'mpris' must be a player's D-Bus name")},
      {"[default]\nmpris = \"\"\n", 2, Beyond("'mpris' must be a player's D-Bus name")},
      {"[default]\nmpris = \"" + std::string(256, 'p') + "\"\n", 2, Beyond("at most 255")},
      {"midi = { connect = \"x\" }\n", 1, Beyond("'connect' must be a list of patterns")},
      {"midi = { connect = [\"(\"] }\n", 1, Beyond("bad regular expression")},
      {"midi = { connect = [\"\"] }\n", 1, Beyond("an empty pattern would match every port")},
      {"midi = { connect = [\"\\\\pL{448}N\"] }\n", 1, Beyond("pattern too costly")},
      {"midi = { port = 1 }\n", 1, Beyond("unknown field 'midi.port' (expected connect)")},
      {"[default.shuttle]\n128 = { send = \"l\", every_ms = 10 }\n", 2, "shuttle position out of"},
      {"[default.shuttle]\n\"+-1\" = { send = \"l\", every_ms = 10 }\n", 2, "shuttle position out of"},
      {"[default.shuttle]\n1 = { send = \"l\", every_ms = 10, rate = 3 }\n", 2,
       "unknown field 'rate'"},
      {"[default]\njogs = 1\n", 2,
       "unknown field 'jogs' (expected mpris, keys, s_keys, c_keys, sc_keys, jog or shuttle)"},
      {"[default.jog]\nforward = \"Right\"\nup = \"Up\"\n", 3, "unknown field 'jog.up'"},
      {"[default.jog]\nforward = 3\n", 2, "must be a string"},
      {"\n\n[defaults]\n", 3,
       "unknown field 'defaults' (expected modifiers, default, application or midi)"},
      {"[modifiers]\nx = [1]\n", 2, "unknown field 'modifiers.x'"},
      {"[default.keys]\n0 = { send = \"a\", hold = \"yes\" }\n", 2, "'hold' must be true or false"},
      {"[default.keys]\n0 = { hold = true }\n", 2, "a key needs 'send', 'player' or 'midi'"},
      {"[default.keys]\n0 = { send = \"a\", repeat = true }\n", 2, "unknown field 'repeat'"},
      {"[default.keys]\n0 = { send = \"ctrl+wheel_up\", hold = true }\n", 2,
       "a wheel step cannot be held"},
      {"[[application]]\nname = \"a\"\n", 1, "needs a 'class'"},
      {"[[application]]\nclass = \"(\"\n", 2, "bad regular expression"},
      {"[[application]]\nclass = \"(?=x)\"\n", 2, "bad regular expression"},  // no look-ahead
      {"[[application]]\nclass = \"\"\n", 2, "an empty pattern would match every window"},
      // 20,000 levels of parentheses once took the recursive engine's stack.
      {"[[application]]\nclass = \"" + std::string(20000, '(') + std::string(20000, ')') + "\"\n", 2,
       "a pattern longer than 1024 bytes"},
      {Applications(257), 1, "more than 256 [[application]] sections"},
      // The parser recurses with each part of a name and each level of nesting: 200,000 parts
      // once took its stack.
      {"[" + Repeated("a", 200000, ".") + "]\n", 1, "a key or table name of more than 8 dotted parts"},
      {"[default]\n" + Repeated("a", 9, ".") + " = 1\n", 2, "more than 8 dotted parts"},
      {"[default]\nx = { " + Repeated("\"a\"", 9, " . ") + " = 1 }\n", 2, "more than 8 dotted parts"},
      {"[default]\n" + std::string(129, 'k') + " = 1\n", 2, "longer than 128 bytes"},
      {"[" + std::string(129, 'k') + "]\n", 1, "longer than 128 bytes"},
      {"a = " + Repeated("[", 16) + Repeated("]", 16) + "\n", 1, "nested more than 16 deep"},
      {"a = [\n" + Repeated("[", 100000) + "\n", 2, "nested more than 16 deep"},
      {"a = " + Repeated("{ b = ", 100000) + "\n", 1, "nested more than 16 deep"},
      {"[[a.b.c.d.e.f.g.h]]\ni.j.k.l.m.n.o.p = 1\n", 2, "nested more than 16 deep"},
      // Patterns that would take seconds and hundreds of megabytes to compile, alone or many.
      {"[[application]]\nclass = \"\\\\pL{448}N\"\n", 2, "pattern too costly"},
      {"[[application]]\nclass = \"a\"\ntitle = \"\\\\pN{400}\"\n", 3, "pattern too costly"},
      {Applications(33, kCostliestPattern), 66, "pattern too costly"},
      {"[default.shuttle]\n1 = { send = \"l\", every_ms = 10 }\n\"+1\" = { send = \"j\", every_ms = 10 }\n",
       3, "shuttle position 1 is given twice"},
      {"[default.keys]\n\"0\" = \"a\"\n\"0\" = \"b\"\n", 3, "a key given twice"},
      // Not TOML, and once undefined behaviour in the parser (toml++ 3.3); text and comments
      // may hold any of it.
      {"# caf\xc3\xa9\n[default.keys]\n0 = \"caf\xc3\xa9\"\n\xc3\xa9 = \"a\"\n", 4,
       "not ASCII outside a quoted string"},
      {"[default.keys]\n0 = \"a\" \xef\xba\xbf\n", 2, "not ASCII outside a quoted string"},
      {"[[application]]\nclass = 'caf\xc3\xa9'\n", 2, "in a 'literal' string"},
      {"[[application]]\nclass = \"caf\xc3\n", 2, "not UTF-8"},
      {"[[application]]\nclass = \"x\"\nwhat = 1\n", 3,
       "unknown field 'what' (expected class, title, name, mpris, keys, s_keys, c_keys, sc_keys, "
       "jog or shuttle)"},
      {"[application]\nclass = \"x\"\n", 1, "written [[application]]"},
      // Faults toml++ finds itself.
      {"[default.keys]\n0 = \"space\n", 2, ""},
      {"[default.keys]\n0 = \"a\"\n0 = \"b\"\n", 3, ""},
      {"a = \n", 1, ""},
  };
  for (const Case& c : cases) {
    KeyMap map;
    MapError error;
    EXPECT_FALSE(ParseMap(c.text, "bad.toml", map, error)) << c.text;
    EXPECT_EQ("bad.toml", error.file) << c.text;
    EXPECT_EQ(c.line, error.line) << c.text << "\n" << error.Text();
    EXPECT_NE(std::string::npos, error.reason.find(c.reason)) << c.text << "\n" << error.Text();
    EXPECT_FALSE(error.reason.empty());
    EXPECT_TRUE(map.applications.empty());
  }
}

// What a section binds besides key combinations, in the translator's words.
std::string OtherBindings(const KeyMap& map, const jskeys::Section& section) {
  std::string text = std::string(map.usesPlayer ? "(player) " : "") + (map.usesMidi ? "(midi) " : "");
  auto said = [&](const std::string& where, const jskeys::KeyBinding& binding) {
    if (binding.kind == jskeys::KeyBinding::Kind::kKeys) return;
    text += where + ": " +
            (binding.kind == jskeys::KeyBinding::Kind::kPlayer
                 ? jskeys::Action::Player(binding.player, section.mpris).Text()
                 : jskeys::Action::Midi(binding.midi).Text()) +
            (binding.midiUp ? " up " + std::to_string(*binding.midiUp) : "") + "; ";
  };
  for (std::size_t key = 0; key < jskeys::kKeyCount; ++key) {
    if (section.keys[0][key]) said("key " + std::to_string(key), *section.keys[0][key]);
  }
  if (section.jogForward) said("forward", *section.jogForward);
  if (section.jogBack) said("back", *section.jogBack);
  for (int position = -128; position < 128; ++position) {
    const auto& at = section.ShuttleAt(position);
    if (!at || at->kind == jskeys::ShuttleRepeat::Kind::kRepeat) continue;
    text += "shuttle " + std::to_string(position) + ":";
    if (at->kind == jskeys::ShuttleRepeat::Kind::kSequence) {
      for (const KeyCombo& combo : at->sequence) text += " " + jskeys::ComboText(combo);
    } else {
      text += " " + (at->kind == jskeys::ShuttleRepeat::Kind::kPlayer
                         ? jskeys::Action::Player(at->player, section.mpris)
                         : jskeys::Action::Midi(at->midi))
                        .Text();
    }
    text += "; ";
  }
  for (const std::string& pattern : map.midiConnectText) text += "connect " + pattern + "; ";
  return text;
}

// Player and MIDI actions, read where jskeys can send them; refused on Windows at their place.
TEST(KeyMap, PlayerAndMidiActions) {
  struct Case {
    std::string text;
    const char* read;          // what the last section binds besides key combinations
    // Where Windows refuses it (the first action in the table's order of names); 0: read there.
    std::uint32_t windowsLine;
  };
  const Case cases[] = {
      {"[default.keys]\n0 = { player = \"play_pause\" }\n", "(player) key 0: player play_pause; ", 2},
      {"[default]\nmpris = \"org.mpv-2_x\"\n[default.keys]\n1 = { player = \"seek\", ms = -3600000 }\n",
       "(player) key 1: player seek -3600000 ms (org.mpv-2_x); ", 4},
      {"[default.keys]\n3 = { midi = \"note\", note = 60 }\n"
       "4 = { midi = \"cc\", cc = 20, value = 127, channel = 16, up = 0 }\n",
       "(midi) key 3: midi note_on 60 127 ch 1; key 4: midi cc 20 = 127 ch 16 up 0; ", 2},
      {"[default.jog]\nforward = { midi = \"cc\", cc = 1, value = 1, channel = 2 }\n"
       "back = { player = \"seek\", ms = -40 }\n",
       "(player) (midi) forward: midi cc 1 = 1 ch 2; back: player seek -40 ms; ", 3},
      {"[default.shuttle]\n0 = { player = \"pause\" }\n-7 = { player = \"rate\", rate = -32 }\n"
       "3 = { player = \"rate\", rate = 1.5 }\n1 = { midi = \"cc\", cc = 7, value = 64 }\n",
       "(player) (midi) shuttle -7: player rate -32; shuttle 0: player pause; "
       "shuttle 1: midi cc 7 = 64 ch 1; shuttle 3: player rate 1.5; ", 3},
      {"[default.shuttle]\n2 = { sequence = [\"k\", \"shift+l\", \"l\"] }\n",
       "shuttle 2: k shift+l l; ", 0},
      {"[midi]\nconnect = [\"Ardour\", \"(?i)resolve\"]\n",
       "connect Ardour; connect (?i)resolve; ", 1},
      // An application takes the default's player, as it takes its bindings.
      {"[default]\nmpris = \"mpv\"\n[[application]]\nclass = \"x\"\nkeys = { 0 = { player = \"next\" } }\n",
       "(player) key 0: player next (mpv); ", 2},
  };
  for (const Case& c : cases) {
    KeyMap map;
    MapError error;
    const bool read = ParseMap(c.text, "media.toml", map, error);
    if (kWindows && c.windowsLine != 0) {
      EXPECT_FALSE(read) << c.text;
      EXPECT_EQ(c.windowsLine, error.line) << c.text << "\n" << error.Text();
      EXPECT_NE(std::string::npos, error.reason.find("not available on Windows yet")) << error.Text();
      continue;
    }
    ASSERT_TRUE(read) << c.text << "\n" << error.Text();
    EXPECT_EQ(c.read, OtherBindings(map, map.applications.empty() ? map.defaults
                                                                  : map.applications.back()))
        << c.text;
  }
}

// What the bounds allow is read, and soon: names, nesting and patterns at their limits.
TEST(KeyMap, MapsAtTheBoundsAreRead) {
  struct Case {
    std::string text;
    const char* refusal;  // the schema's, for a shape no map has a use for; empty: a good map
  };
  const Case cases[] = {
      {"[default]\n" + std::string(128, 'k') + " = 1\n", "unknown field 'kkk"},
      {"[default]\n" + Repeated("a", 8, ".") + " = 1\n", "unknown field 'a'"},
      {"[[a.b.c.d.e.f.g.h]]\ni.j.k.l.m.n.o = 1\n", "unknown field 'a'"},
      {"a = " + Repeated("[", 15) + Repeated("]", 15) + "\n", "unknown field 'a'"},
      {"a = [\n" + Repeated("[", 14) + Repeated("]\n", 15), "unknown field 'a'"},
      {"[default.shuttle]\n1 = { send = \"a\", every_ms = 5.0e0 }\n", "bad rate"},
      {Applications(32, kCostliestPattern), ""},
      {Repeated("[[application]]\nclass = \"(?i)^foot$\"\ntitle = \" - Kdenlive$\"\n", 256),
       ""},
  };
  for (const Case& c : cases) {
    KeyMap map;
    MapError error;
    const auto start = std::chrono::steady_clock::now();
    const bool read = ParseMap(c.text, "edge.toml", map, error);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(*c.refusal == '\0', read) << c.text.substr(0, 80) << "\n" << error.Text();
    if (!read) {
      EXPECT_NE(std::string::npos, error.reason.find(c.refusal)) << error.Text();
    }
    // Once over two minutes; the bench (bench_jskeys_map) says how long it takes.
    EXPECT_LT(took, std::chrono::seconds(20)) << c.text.substr(0, 80);
  }
  KeyMap map;
  MapError error;
  ASSERT_FALSE(ParseMap(Applications(1, "\\\\pL{448}N"), "my.toml", map, error));
  EXPECT_EQ("my.toml:2:9: pattern too costly", error.Text());
}

// A section chosen by class, by title, or by both at once.
TEST(KeyMap, SectionsByClassAndTitle) {
  KeyMap map;
  MapError error;
  ASSERT_TRUE(ParseMap(R"([[application]]
name = "both"
class = "^foot$"
title = "vim"
[[application]]
name = "by title"
title = " - Kdenlive$"
[[application]]
name = "by class"
class = "^foot$"
)", "t.toml", map, error)) << error.Text();
  struct Case {
    const char* windowClass;
    const char* title;
    const char* section;
  };
  const Case cases[] = {
      {"foot", "vim notes.txt", "both"},         {"foot", "bash", "by class"},
      {"kdenlive", "cut.kdenlive - Kdenlive", "by title"},
      {"other", "vim", "default"},               {"", "", "default"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.section, jskeys::SectionFor(map, c.windowClass, c.title).name) << c.title;
  }
}

// Text that is not ASCII is at home in strings and comments, and matches as UTF-8.
TEST(KeyMap, UnicodeInStringsAndComments) {
  KeyMap map;
  MapError error;
  ASSERT_TRUE(ParseMap("# caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xac\n[[application]]\n"
                       "class = \"^Caf\xc3\xa9\xf0\x9f\x8e\xac$\"\nname = \"\"\"\xc3\xa9\"\"\"\n",
                       "u.toml", map, error))
      << error.Text();
  EXPECT_EQ("\xc3\xa9", jskeys::SectionFor(map, "Caf\xc3\xa9\xf0\x9f\x8e\xac").name);
  EXPECT_EQ("default", jskeys::SectionFor(map, "Cafe").name);
}

TEST(KeyMap, ErrorTextNamesFileLineAndColumn) {
  KeyMap map;
  MapError error;
  ASSERT_FALSE(ParseMap("[default.keys]\n0 = \"nope\"\n", "my.toml", map, error));
  EXPECT_EQ("my.toml:2:5: unknown key name 'nope'", error.Text());
}

// What a map says comes back in messages on a terminal: escaped as the log escapes, and cut.
TEST(KeyMap, ErrorTextIsSafeForATerminal) {
  KeyMap map;
  MapError error;
  ASSERT_FALSE(ParseMap("[default.keys]\n0 = \"\\u001b[2J\\u001b]0;pwned\\u0007x\"\n", "my.toml",
                        map, error));
  EXPECT_EQ("my.toml:2:5: unknown key name '\\x1b[2J\\x1b]0;pwned\\x07x'", error.Text());
  ASSERT_FALSE(ParseMap("[default.keys]\n0 = \"" + std::string(10 << 20, 'k') + "\"\n", "my.toml",
                        map, error));
  EXPECT_LT(error.Text().size(), 300u);
  EXPECT_NE(std::string::npos, error.Text().find("bytes more)"));
}

// Maps are copied from anywhere: only a regular file of at most 1 MiB is read, and with a bound;
// anything else is refused with the file and the reason.
TEST(KeyMap, LoadMapReadsSmallRegularFilesOnly) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("jskeys-" + std::to_string(std::random_device{}()));
  ASSERT_TRUE(std::filesystem::create_directory(dir));
  auto path = [&](const char* name) { return (dir / name).string(); };
  std::ofstream(path("keys.toml")) << "[default.keys]\n0 = \"Tab\"\n";
  std::ofstream(path("big.toml")) << std::string(jskeys::kMaxMapFile, '#') << "\n";
  struct Case {
    std::string file;
    std::string reason;  // empty: read
  };
  std::vector<Case> cases = {
      {path("keys.toml"), ""},
      {path("missing.toml"), "cannot be opened"},
      {dir.string(), "is a directory"},
      {path("big.toml"), "is larger than 1 MiB"},
  };
#if !defined(_WIN32)
  ASSERT_EQ(0, ::mkfifo(path("fifo").c_str(), 0600));  // would block a plain read for ever
  cases.push_back({"/dev/zero", "is not a regular file"});
  cases.push_back({path("fifo"), "is not a regular file"});
#endif
  for (const Case& c : cases) {
    KeyMap map;
    MapError error;
    EXPECT_EQ(c.reason.empty(), jskeys::LoadMap(c.file, map, error)) << c.file;
    if (c.reason.empty()) {
      EXPECT_EQ("Tab", jskeys::ComboText(map.defaults.keys[0][0]->combo));
    } else {
      EXPECT_EQ(0u, error.Text().find(c.file + ": " + c.reason)) << error.Text();
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

namespace {

#ifdef JS_README_PATH
TEST(KeyMap, TheReadmeShowsTheBuiltInMapAsItIs) {
  std::ifstream in(JS_README_PATH);
  const std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(readme.empty());
  EXPECT_NE(std::string::npos, readme.find("```toml\n" + std::string(jskeys::DefaultMapText()) + "```\n"));
}
#endif

}  // namespace
