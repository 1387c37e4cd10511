// The udev rule shipped for the controller's adapter: well formed, and saying what it must.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

struct Clause {
  std::string key;        // ATTRS
  std::string attribute;  // idVendor; empty without braces
  std::string op;         // == != = += -= :=
  std::string value;
};

// Keys that only match, that only assign, and that do both; which take {attribute}.
const std::set<std::string> kMatchOnly = {"ACTION", "DEVPATH", "KERNEL", "SUBSYSTEM", "DRIVER",
                                          "KERNELS", "SUBSYSTEMS", "DRIVERS", "ATTRS", "TAGS",
                                          "PROGRAM", "RESULT", "CONST", "TEST"};
const std::set<std::string> kAssignOnly = {"OWNER", "GROUP", "MODE", "RUN", "LABEL", "GOTO",
                                           "OPTIONS", "IMPORT", "SECLABEL"};
const std::set<std::string> kBoth = {"NAME", "SYMLINK", "ATTR", "SYSCTL", "ENV", "TAG"};
const std::set<std::string> kWithAttribute = {"ATTR", "ATTRS", "ENV", "SYSCTL", "SECLABEL",
                                              "IMPORT", "CONST", "RUN", "TEST"};
const std::set<std::string> kAttributeRequired = {"ATTR", "ATTRS", "ENV", "SYSCTL", "SECLABEL",
                                                  "IMPORT", "CONST"};

bool IsKeyChar(char c) { return (c >= 'A' && c <= 'Z') || c == '_'; }

// One rule line into its clauses; false with `error` set when it is not well formed.
bool ParseRule(const std::string& line, std::vector<Clause>& clauses, std::string& error) {
  std::size_t i = 0;
  auto skipSpace = [&] {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  };
  for (;;) {
    skipSpace();
    Clause clause;
    while (i < line.size() && IsKeyChar(line[i])) clause.key += line[i++];
    if (clause.key.empty()) return error = "no key at " + std::to_string(i), false;
    if (i < line.size() && line[i] == '{') {
      const std::size_t close = line.find('}', i);
      if (close == std::string::npos || close == i + 1) return error = "bad braces", false;
      clause.attribute = line.substr(i + 1, close - i - 1);
      i = close + 1;
    }
    for (const char* op : {"==", "!=", "+=", "-=", ":=", "="}) {
      if (line.compare(i, std::string(op).size(), op) == 0) {
        clause.op = op;
        break;
      }
    }
    if (clause.op.empty()) return error = clause.key + ": no operator", false;
    i += clause.op.size();
    if (i >= line.size() || line[i] != '"') return error = clause.key + ": value not quoted", false;
    const std::size_t end = line.find('"', i + 1);
    if (end == std::string::npos) return error = clause.key + ": quote not closed", false;
    clause.value = line.substr(i + 1, end - i - 1);
    i = end + 1;

    const bool matches = clause.op == "==" || clause.op == "!=";
    if (kMatchOnly.count(clause.key) == 0 && kAssignOnly.count(clause.key) == 0 &&
        kBoth.count(clause.key) == 0) {
      return error = clause.key + ": unknown key", false;
    }
    if (matches && kAssignOnly.count(clause.key) != 0) {
      return error = clause.key + ": can only be assigned", false;
    }
    if (!matches && kMatchOnly.count(clause.key) != 0) {
      return error = clause.key + ": can only be matched", false;
    }
    if (!clause.attribute.empty() && kWithAttribute.count(clause.key) == 0) {
      return error = clause.key + ": takes no {attribute}", false;
    }
    if (clause.attribute.empty() && kAttributeRequired.count(clause.key) != 0) {
      return error = clause.key + ": needs {attribute}", false;
    }
    clauses.push_back(clause);
    skipSpace();
    if (i == line.size()) return true;
    if (line[i] != ',') return error = "no comma after " + clause.key, false;
    ++i;
  }
}

TEST(UdevRule, CheckerCatchesMistakes) {
  struct Case {
    const char* line;
    bool ok;
  };
  const Case cases[] = {
      {R"(SUBSYSTEM=="tty", SYMLINK+="js")", true},
      {R"(SUBSYSTEM=="tty",SYMLINK+="js", ENV{ID_MM_DEVICE_IGNORE}="1")", true},
      {R"(GROUP=="dialout")", false},              // a match on a key that only assigns
      {R"(ATTRS{idVendor}="0403")", false},        // an assignment to a key that only matches
      {R"(SYMLNK+="js")", false},                  // no such key
      {R"(SUBSYSTEM=="tty" SYMLINK+="js")", false},  // no comma
      {R"(SUBSYSTEM=="tty)", false},               // quote not closed
      {R"(SUBSYSTEM==tty)", false},                // not quoted
      {R"(ENV="1")", false},                       // ENV needs its variable
      {R"(GROUP{x}="dialout")", false},
      {R"(MODE=>"0660")", false},
  };
  for (const Case& c : cases) {
    std::vector<Clause> clauses;
    std::string error;
    EXPECT_EQ(c.ok, ParseRule(c.line, clauses, error)) << c.line << ": " << error;
  }
}

TEST(UdevRule, ShippedRuleIsWellFormedAndComplete) {
  std::ifstream file(UDEV_RULE_PATH);
  ASSERT_TRUE(file) << UDEV_RULE_PATH;
  std::vector<Clause> all;
  std::string line;
  std::size_t rules = 0;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    ASSERT_NE('\\', line.back()) << "keep each rule on one line";
    std::string error;
    ASSERT_TRUE(ParseRule(line, all, error)) << line << ": " << error;
    ++rules;
  }
  EXPECT_EQ(1u, rules);
  auto has = [&](const std::string& key, const std::string& attribute, const std::string& op,
                 const std::string* value) {
    for (const Clause& c : all) {
      if (c.key == key && c.attribute == attribute && c.op == op &&
          (value == nullptr || c.value == *value)) {
        return true;
      }
    }
    return false;
  };
  const std::string tty = "tty", link = "jogshuttle", group = "dialout", one = "1",
                    systemd = "systemd", unit = "jskeys.service";
  EXPECT_TRUE(has("SUBSYSTEM", "", "==", &tty));
  EXPECT_TRUE(has("ATTRS", "idVendor", "==", nullptr));
  EXPECT_TRUE(has("ATTRS", "idProduct", "==", nullptr));
  EXPECT_TRUE(has("ATTRS", "serial", "==", nullptr));
  EXPECT_TRUE(has("SYMLINK", "", "+=", &link));
  EXPECT_TRUE(has("GROUP", "", "=", &group));
  EXPECT_TRUE(has("ENV", "ID_MM_DEVICE_IGNORE", "=", &one));
  // Plugged in, the adapter starts jskeys for the logged-in user.
  EXPECT_TRUE(has("TAG", "", "+=", &systemd));
  EXPECT_TRUE(has("ENV", "SYSTEMD_USER_WANTS", "+=", &unit));
}

// The user unit the rule starts: systemd's own check, where systemd is installed; and what the
// rule and the unit must agree on.
TEST(UserUnit, SystemdAcceptsItAndItFollowsTheAdapter) {
  std::ifstream file(UNIT_PATH);
  const std::string unit((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(unit.empty()) << UNIT_PATH;
  for (const char* line : {"BindsTo=dev-jogshuttle.device", "ExecReload=/bin/kill -USR1 $MAINPID",
                           "Environment=JS_PORT_DIR=%t/jogshuttle"}) {
    EXPECT_NE(std::string::npos, unit.find(line)) << line;
  }
  if (std::system("systemd-analyze --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  const std::string command = std::string("systemd-analyze verify --man=no '") + UNIT_PATH + "'";
  EXPECT_EQ(0, std::system(command.c_str()));
}

// udev's own check, where the installed udev has one (systemd 253 and later).
TEST(UdevRule, UdevadmVerifyAcceptsIt) {
  if (std::system("udevadm verify --help >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "this udevadm has no verify";
  }
  const std::string command = std::string("udevadm verify --no-summary '") + UDEV_RULE_PATH + "'";
  EXPECT_EQ(0, std::system(command.c_str()));
}

}  // namespace
