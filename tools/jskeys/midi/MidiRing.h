#pragma once
// The MIDI messages on their way from the event loop (the one writer) to the process callback
// (the one reader): JACK's lock-free ring, of fixed-size entries, locked in memory.

#include <jack/ringbuffer.h>

#include <cstddef>
#include <cstdint>

namespace jskeys {

struct MidiEvent {
  std::uint32_t frame = 0;  // jack_frame_time when it was sent
  std::uint8_t bytes[3] = {};
  std::uint8_t unused = 0;
};

class MidiRing {
 public:
  explicit MidiRing(std::size_t events)
      : ring_(jack_ringbuffer_create(events * sizeof(MidiEvent))) {
    if (ring_ != nullptr) jack_ringbuffer_mlock(ring_);
  }
  ~MidiRing() {
    if (ring_ != nullptr) jack_ringbuffer_free(ring_);
  }
  MidiRing(const MidiRing&) = delete;
  MidiRing& operator=(const MidiRing&) = delete;

  bool Made() const { return ring_ != nullptr; }

  // The writer's side. False when the ring is full.
  bool Push(const MidiEvent& event) {
    if (jack_ringbuffer_write_space(ring_) < sizeof event) return false;
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&event), sizeof event);
    return true;
  }
  // The reader's side: the oldest event, left in place until Drop.
  bool Peek(MidiEvent& event) const {
    if (jack_ringbuffer_read_space(ring_) < sizeof event) return false;
    jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(&event), sizeof event);
    return true;
  }
  void Drop() { jack_ringbuffer_read_advance(ring_, sizeof(MidiEvent)); }
  bool Empty() const { return jack_ringbuffer_read_space(ring_) < sizeof(MidiEvent); }

 private:
  jack_ringbuffer_t* ring_;
};

}  // namespace jskeys
