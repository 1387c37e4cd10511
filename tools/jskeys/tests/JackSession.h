#pragma once
// A JACK server of the test's own (the dummy driver: no sound card, no real-time rights), and a
// recording client that takes what reaches its MIDI input with the frame time it came at.
// JACK_DEFAULT_SERVER names the server to every client the test process opens.

#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "FindProgram.h"
#include "MidiRing.h"

namespace jskeys_test {

using namespace std::chrono_literals;

inline constexpr jack_nframes_t kJackRate = 48000;
inline constexpr jack_nframes_t kJackPeriod = 256;

inline void JackQuiet(const char* /*message*/) {}

// A server name no other test uses, of this process or another: the servers' register is the
// machine's, and a process in a PID namespace of its own (the serial mask) may have our PID.
inline std::string UniqueJackName() {
  static std::atomic<int> count{0};
  static const unsigned salt = std::random_device{}();
  return "jstest-" + std::to_string(getpid()) + "-" + std::to_string(salt) + "-" +
         std::to_string(count++);
}

class JackServer {
 public:
  explicit JackServer(std::string name = UniqueJackName()) : name_(std::move(name)) {}
  // Ended as a server should be: one that is killed keeps its place among the few JACK
  // registers for a machine (eight) until a server of the same name starts again.
  ~JackServer() { Stop(); }
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  static bool Installed() { return !FindProgram("jackd").empty(); }
  const std::string& Name() const { return name_; }
  // What the server said, for a failure's message.
  std::string Log() { return server_ ? server_->Output() + server_->RestOfOutput(100ms) : ""; }
  // Clients this process opens from now on go to this server.
  void MakeDefault() const { setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1); }

  // Starts the server, makes it the default, and waits (generously: a loaded machine starts it
  // slowly) until a client can open on it. False with `error` set.
  bool Start(std::string& error) {
    server_.emplace();
    // Synchronous (-S): each period waits for the clients (2 s at most) instead of going on
    // without a late one, which would lose what it held; on a busy machine periods stretch.
    const std::vector<std::string> words = {
        FindProgram("jackd"), "--no-realtime", "-S", "-t", "2000", "-n", name_, "-d", "dummy",
        "-r", std::to_string(kJackRate), "-p", std::to_string(kJackPeriod)};
    jstesting::ChildSetup setup;
    setup.stderrTo = jstesting::StderrTo::kOutput;
    if (!server_->Start(words, setup)) {
      error = "jackd did not start";
      return false;
    }
    MakeDefault();
    jack_set_error_function(&JackQuiet);
    jack_set_info_function(&JackQuiet);
    bool up = false;
    for (const auto until = std::chrono::steady_clock::now() + 30s;
         !up && std::chrono::steady_clock::now() < until;) {
      jack_status_t status{};
      if (jack_client_t* probe = jack_client_open("probe", JackNoStartServer, &status)) {
        jack_client_close(probe);
        up = true;
      } else {
        std::this_thread::sleep_for(50ms);
      }
    }
    if (!up) {
      const std::string log = Log();
      error = "no client could open on jackd -n " + name_ + " within 30 s: " + log;
      if (log.find("Too many servers") != std::string::npos) {
        error += "\n(the machine's JACK register, /dev/shm/jack-shm-registry, holds eight "
                 "servers at most: servers killed without ending keep their places)";
      }
    }
    return up;
  }

  void Stop() {
    if (server_ && server_->Stop(SIGTERM) == jstesting::ChildProcess::kStillRunning) {
      server_->Stop(SIGKILL);
    }
  }
  // As a crash: no client is told beforehand. Start it again, under the same name.
  void Kill() {
    if (server_) server_->Stop(SIGKILL);
  }

 private:
  std::string name_;
  std::optional<jstesting::ChildProcess> server_;  // one per start
};

// One MIDI event as the recording client got it.
struct HeardEvent {
  jack_nframes_t frame = 0;  // absolute: the period's first frame plus the event's offset
  std::vector<std::uint8_t> bytes;
  // When the client's period took it: the frame time alone is guessed from the clock between
  // periods, and a busy machine stretches them.
  std::chrono::steady_clock::time_point heardAt{};
  bool operator==(const HeardEvent& other) const {
    return frame == other.frame && bytes == other.bytes;
  }
};

// A client named `name` with one MIDI input port, "in", on the default server.
class JackRecorder {
 public:
  ~JackRecorder() {
    if (client_ != nullptr) jack_client_close(client_);
  }

  bool Open(const std::string& name, std::string& error) {
    jack_status_t status{};
    client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (client_ == nullptr) {
      error = "the recording client did not open (status " + std::to_string(status) + ")";
      return false;
    }
    port_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (port_ == nullptr ||
        jack_set_process_callback(client_, &JackRecorder::Process, this) != 0 ||
        jack_set_xrun_callback(client_, &JackRecorder::Xrun, this) != 0 ||
        jack_activate(client_) != 0) {
      error = "the recording client's port did not come up";
      return false;
    }
    return true;
  }

  jack_client_t* Client() const { return client_; }
  std::string PortName() const { return jack_port_name(port_); }
  bool ConnectedTo(const std::string& port) const {
    return jack_port_connected_to(port_, port.c_str()) != 0;
  }

  // Periods the server did not finish in time (a busy machine): events are late there.
  int Xruns() const { return xruns_.load(); }

  // Everything heard so far that was not yet taken.
  std::vector<HeardEvent> Take() {
    std::vector<HeardEvent> heard;
    Record record;
    while (ring_.Peek(record)) {
      ring_.Drop();
      heard.push_back({record.frame, {record.bytes, record.bytes + record.size},
                       std::chrono::steady_clock::time_point(record.heardAt)});
    }
    return heard;
  }
  // Waits until `count` events (all told) were heard, or `limit` passed; what was heard.
  std::vector<HeardEvent> WaitFor(std::size_t count, std::chrono::milliseconds limit = 20s) {
    std::vector<HeardEvent> all;
    for (const auto until = std::chrono::steady_clock::now() + limit;;) {
      std::vector<HeardEvent> more = Take();
      all.insert(all.end(), more.begin(), more.end());
      if (all.size() >= count || std::chrono::steady_clock::now() >= until) return all;
      std::this_thread::sleep_for(2ms);
    }
  }

 private:
  struct Record {
    std::chrono::steady_clock::duration heardAt{};
    jack_nframes_t frame = 0;
    std::uint8_t size = 0;
    std::uint8_t bytes[3] = {};
  };

  static int Xrun(void* self) {
    static_cast<JackRecorder*>(self)->xruns_.fetch_add(1);
    return 0;
  }
  static int Process(jack_nframes_t frames, void* self) {
    auto& recorder = *static_cast<JackRecorder*>(self);
    void* buffer = jack_port_get_buffer(recorder.port_, frames);
    const jack_nframes_t start = jack_last_frame_time(recorder.client_);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    const auto now = count > 0 ? std::chrono::steady_clock::now().time_since_epoch()
                               : std::chrono::steady_clock::duration{};
    for (std::uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, i) != 0) continue;
      Record record{now, start + event.time,
                    static_cast<std::uint8_t>(std::min<std::size_t>(event.size, 3)), {}};
      for (std::uint8_t b = 0; b < record.size; ++b) record.bytes[b] = event.buffer[b];
      recorder.ring_.Push(record);  // a full ring (65,536 unread) shows as events missing
    }
    return 0;
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  jskeys::OneWayRing<Record> ring_{1 << 16};
  std::atomic<int> xruns_{0};
};

}  // namespace jskeys_test
