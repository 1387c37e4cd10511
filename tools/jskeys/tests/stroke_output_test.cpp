// Key strokes from actions: what stays held, and wheel steps, which are never held.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Output.h"

namespace {

using Kind = jskeys::Action::Kind;
using Texts = std::vector<std::string>;

class Recording : public jskeys::KeyStrokeOutput {
 public:
  Texts seen;

 protected:
  bool KeyDown(jskeys::KeyId key) override { return Note("down ", key); }
  bool KeyUp(jskeys::KeyId key) override { return Note("up ", key); }

 private:
  bool Note(const char* what, jskeys::KeyId key) {
    seen.push_back(what + std::string(jskeys::AllKeys()[key].name));
    return true;
  }
};

TEST(KeyStrokeOutput, HoldsWhatIsHeldAndStepsTheWheelEachTime) {
  struct Step {
    Kind kind;
    const char* combo;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    Texts expected;
  };
  const Case cases[] = {
      {"a held shift stays down through a tap of shift+Right",
       {{Kind::kPress, "shift"}, {Kind::kTap, "shift+Right"}, {Kind::kRelease, "shift"}},
       {"down Shift_L", "down Right", "up Right", "up Shift_L"}},
      {"each wheel step under a held ctrl goes out",
       {{Kind::kPress, "ctrl"}, {Kind::kTap, "ctrl+wheel_up"}, {Kind::kTap, "ctrl+wheel_up"},
        {Kind::kRelease, "ctrl"}},
       {"down Control_L", "down wheel_up", "down wheel_up", "up Control_L"}},
      {"a wheel step is never let go", {{Kind::kTap, "wheel_down"}}, {"down wheel_down"}},
      {"a button held twice is let go at the second release",
       {{Kind::kPress, "button1"}, {Kind::kPress, "button1"}, {Kind::kRelease, "button1"},
        {Kind::kRelease, "button1"}},
       {"down button1", "up button1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recording output;
    for (const Step& step : c.steps) {
      jskeys::KeyCombo combo;
      std::string error;
      ASSERT_TRUE(jskeys::ParseCombo(step.combo, combo, error)) << error;
      EXPECT_TRUE(output.Send(jskeys::Action::Keys(step.kind, combo)));
    }
    EXPECT_EQ(c.expected, output.seen);
  }
}

TEST(CutText, NeverSplitsACharacter) {
  struct Case {
    std::string text;
    std::size_t limit;
    std::string expected;
  };
  const Case cases[] = {
      {"abc", 3, "abc"},
      {"abcd", 3, "abc"},
      {"a\xc3\xa9", 2, "a"},                     // é is two bytes
      {"a\xc3\xa9", 3, "a\xc3\xa9"},
      {"\xe2\x80\x93x", 2, ""},                  // – is three
      {"ab\xf0\x9f\x8e\x9e", 5, "ab"},           // four-byte sequence cut after its third byte
      {std::string(2000, 'x'), 1024, std::string(1024, 'x')},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    jskeys::CutText(text, c.limit);
    EXPECT_EQ(c.expected, text) << c.text.substr(0, 10) << " at " << c.limit;
  }
}

}  // namespace
