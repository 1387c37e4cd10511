// The stop request and the program's messages: the same on every platform.

#include "StopRequest.h"

#include <condition_variable>
#include <mutex>
#include <string>

#include "LogSink.h"
#include "Program.h"

namespace jsprogram {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_reload{false};
std::atomic<int> g_signal{0};
std::string g_name = "?";

// Never destroyed: a stop may be requested while the process ends.
std::mutex& Lock() {
  static std::mutex& lock = *new std::mutex;
  return lock;
}
std::condition_variable& Changed() {
  static std::condition_variable& changed = *new std::condition_variable;
  return changed;
}

}  // namespace

void SetName(const char* name) { g_name = name; }

const std::atomic<bool>& StopFlag() { return g_stop; }

int StopSignal() { return g_signal.load(); }

void RequestStop(int signal) {
  {
    std::lock_guard<std::mutex> guard(Lock());
    if (g_stop.load()) return;  // the first reason stays
    g_signal.store(signal);
    g_stop.store(true);
  }
  Changed().notify_all();
}

void RequestReload() { g_reload.store(true); }
bool TakeReloadRequest() { return g_reload.exchange(false); }

bool WaitForStop(std::chrono::milliseconds time) {
  std::unique_lock<std::mutex> guard(Lock());
  return Changed().wait_for(guard, time, [] { return g_stop.load(); });
}

void Say(std::string_view text) {
  std::string line = g_name;
  line += ": ";
  line += text;
  jslog::WriteStderrText(line);
}

}  // namespace jsprogram
