// The stop request and the program's messages: the same on every platform.

#include "StopRequest.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "LogSink.h"
#include "Program.h"

namespace jsprogram {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_reload{false};
std::atomic<int> g_signal{0};
std::atomic<bool> g_released{false};
std::atomic<int> g_portWork{0};
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
  SignalRequestNotice();
}

void RequestReload() {
  g_reload.store(true);
  SignalRequestNotice();
}
bool TakeReloadRequest() { return g_reload.exchange(false); }

bool WaitForStop(std::chrono::milliseconds time) {
  std::unique_lock<std::mutex> guard(Lock());
  return Changed().wait_for(guard, time, [] { return g_stop.load(); });
}

void MarkReleased() {
  {
    std::lock_guard<std::mutex> guard(Lock());
    g_released.store(true);
  }
  Changed().notify_all();
  OnReleased();
}

void EndWithin(std::chrono::milliseconds grace, std::string why) {
  // Detached: it only waits, and ends with the process.
  std::thread([grace, why = std::move(why)] {
    std::unique_lock<std::mutex> guard(Lock());
    Changed().wait(guard, [] { return g_stop.load(); });
    if (Changed().wait_for(guard, grace, [] { return g_released.load(); })) return;
    // A port being opened or closed is let finish: it is never left exclusive or raw.
    Changed().wait(guard, [] { return g_released.load() || g_portWork.load() == 0; });
    if (g_released.load()) return;
    guard.unlock();
    Say(why);
    jslog::FlushStderr(200);
    std::_Exit(1);
  }).detach();
}

PortWork::PortWork() { g_portWork.fetch_add(1); }

PortWork::~PortWork() {
  {
    std::lock_guard<std::mutex> guard(Lock());
    g_portWork.fetch_sub(1);
  }
  Changed().notify_all();
}

void Say(std::string_view text) {
  std::string line = g_name;
  line += ": ";
  line += text;
  jslog::WriteStderrText(line);
}

}  // namespace jsprogram
