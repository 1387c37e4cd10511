// Built against the installed package by the consumer_package test. Opens COM1 in an empty
// port directory and checks that the one failure line reaches a capturing sink: the link, the
// log library, its sinks and the threads all come in through JogShuttle::JogShuttle.
#include <JogShuttle/SerialJS.h>  // as the README shows it

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CaptureSink.h"  // the package's include directory works on its own too
#include "wPrintf.h"

namespace {

int Fail(const char* what, const std::vector<jslog::LogLine>& lines) {
  std::fprintf(stderr, "consumer: %s; captured:\n", what);
  for (const auto& line : lines) {
    std::fprintf(stderr, "  [%u:%u] %s\n", static_cast<unsigned>(line.category),
                 static_cast<unsigned>(line.level), line.text.c_str());
  }
  return 1;
}

}  // namespace

int main() {
  // Without a port directory COM1 would be a real device of this machine.
  const char* portDir = std::getenv("JS_PORT_DIR");
  if (portDir == nullptr || *portDir == '\0') {
    std::fprintf(stderr, "consumer: set JS_PORT_DIR to an empty directory\n");
    return 2;
  }

  jslog::CaptureSink capture;
  bool opened = true;
  {
    jslog::ScopedLogSink scoped(capture);
    SerialJS link(1);
    opened = link.Open();
    link.Close();
    wPrintf(27, 10, L"consumer: %s %d\n", L"done", 1);
  }
  const std::vector<jslog::LogLine> lines = capture.Lines();

  if (opened) return Fail("Open returned true on a missing port", lines);
  std::vector<jslog::LogLine> failures;
  for (const auto& line : lines) {
    if (line.level == 1) failures.push_back(line);
  }
  const jslog::LogLine expected{
      24, 1, "SerialJS: Error (2) opening COM1: config: No such file or directory"};
  if (failures.size() != 1 || !(failures[0] == expected)) {
    return Fail("expected exactly one level-1 line, the opening error for COM1", lines);
  }
  if (capture.Count(27, 10, "consumer: done 1") != 1) {
    return Fail("a wPrintf call of our own did not reach the sink", lines);
  }
  std::printf("consumer ok\n");
  return 0;
}
