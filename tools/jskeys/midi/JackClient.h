#pragma once
// One life of the JACK client: opened and activated with its MIDI port, closed when the output
// ends or its server has gone. Its process callback writes the ring's events to the port.

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Action.h"
#include "JackNews.h"
#include "MidiRing.h"

namespace jskeys {

class JackClient {
 public:
  // Messages the ring holds between two periods: far more than the controller makes.
  static constexpr std::size_t kRingEvents = 4096;

  // Null when there is no server (none is started) or the client cannot be made; `error` says
  // why. `news` hears of the server going away and of ports appearing.
  static std::unique_ptr<JackClient> Open(const char* name, JackNews& news, std::string& error);
  ~JackClient();
  JackClient(const JackClient&) = delete;
  JackClient& operator=(const JackClient&) = delete;

  // Queues `message` for the next period; false when the ring is full.
  bool Queue(const MidiMessage& message);
  // True when every queued message has been written to the port.
  bool Drained() const { return ring_.Empty(); }
  // Periods processed so far.
  std::uint64_t Periods() const { return periods_.load(std::memory_order_acquire); }
  double PeriodSeconds() const;

  jack_client_t* Client() const { return client_; }
  jack_port_t* Port() const { return port_; }

 private:
  explicit JackClient(jack_client_t* client);
  static int Process(jack_nframes_t frames, void* self);
  void Write(jack_nframes_t frames);

  jack_client_t* client_;
  jack_port_t* port_ = nullptr;
  bool active_ = false;
  MidiRing ring_{kRingEvents};
  std::atomic<std::uint64_t> periods_{0};
};

}  // namespace jskeys
