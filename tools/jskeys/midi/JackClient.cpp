#include "JackClient.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cstdint>

namespace jskeys {
namespace {

// libjack writes to standard error whenever a server is not found, which a client that looks
// again every few seconds would turn into a flood; the output says what matters itself.
void Quiet(const char* /*message*/) {}

void ServerGone(jack_status_t /*code*/, const char* /*reason*/, void* news) {
  static_cast<JackNews*>(news)->Tell(JackNews::kServerGone);
}

void PortRegistered(jack_port_id_t /*port*/, int registered, void* news) {
  if (registered != 0) static_cast<JackNews*>(news)->Tell(JackNews::kPortsChanged);
}

}  // namespace

std::unique_ptr<JackClient> JackClient::Open(const char* name, JackNews& news,
                                             std::string& error) {
  jack_set_error_function(&Quiet);
  jack_set_info_function(&Quiet);
  jack_status_t status{};
  jack_client_t* client = jack_client_open(name, JackNoStartServer, &status);
  if (client == nullptr) {
    error = (status & JackServerFailed) != 0 ? "no JACK server"
                                              : "the JACK server refused a client (status " +
                                                    std::to_string(static_cast<int>(status)) + ")";
    return nullptr;
  }
  std::unique_ptr<JackClient> self(new JackClient(client));
  self->port_ = jack_port_register(client, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (self->port_ == nullptr) {
    error = "the JACK server gave no MIDI port";
    return nullptr;
  }
  jack_on_info_shutdown(client, &ServerGone, &news);
  if (jack_set_process_callback(client, &JackClient::Process, self.get()) != 0 ||
      jack_set_port_registration_callback(client, &PortRegistered, &news) != 0 ||
      jack_activate(client) != 0) {
    error = "the JACK server did not take the client";
    return nullptr;
  }
  self->active_ = true;
  return self;
}

JackClient::JackClient(jack_client_t* client) : client_(client) {}

JackClient::~JackClient() {
  if (active_) jack_deactivate(client_);
  jack_client_close(client_);
}

double JackClient::PeriodSeconds() const {
  const jack_nframes_t rate = jack_get_sample_rate(client_);
  return rate == 0 ? 0.0 : static_cast<double>(jack_get_buffer_size(client_)) / rate;
}

bool JackClient::Queue(const MidiMessage& message) {
  MidiEvent event;
  event.frame = jack_frame_time(client_);
  event.bytes[0] = message.Status();
  event.bytes[1] = message.number;
  event.bytes[2] = message.value;
  return ring_.Push(event);
}

int JackClient::Process(jack_nframes_t frames, void* self) {
  static_cast<JackClient*>(self)->Write(frames);
  return 0;
}

// Runs in JACK's real-time thread: no allocation, lock or system call. What was sent during the
// last period goes out one period later at the same place within it, so that the spacing of the
// controller's changes is kept; what came later than that goes at the end, what waited longer
// at the start, and no event goes before the one written ahead of it.
void JackClient::Write(jack_nframes_t frames) {
  void* buffer = jack_port_get_buffer(port_, frames);
  jack_midi_clear_buffer(buffer);
  const jack_nframes_t start = jack_last_frame_time(client_);
  jack_nframes_t earliest = 0;
  MidiEvent event;
  while (ring_.Peek(event)) {
    // Frame times wrap; the difference as signed is right across the wrap.
    const std::int64_t late = static_cast<std::int32_t>(event.frame - start);
    const std::int64_t at = std::clamp<std::int64_t>(late + frames, earliest, frames - 1);
    const auto offset = static_cast<jack_nframes_t>(at);
    // A full port buffer keeps the rest for the next period: none is dropped.
    if (jack_midi_event_write(buffer, offset, event.bytes, sizeof event.bytes) != 0) break;
    earliest = offset;
    ring_.Drop();
  }
  periods_.fetch_add(1, std::memory_order_release);
}

}  // namespace jskeys
