#pragma once
// The media players on the session bus, as they come and go: listed once at start, then
// followed by the bus's name changes, and each one's playing state by its property changes.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Bus.h"
#include "PlayerQueue.h"

namespace jskeys {

class PlayerDirectory;

struct Player {
  Player(PlayerDirectory* from, sd_bus* bus, const std::string& name)
      : directory(from), busName(name), queue(bus, name) {}
  PlayerDirectory* directory;
  std::string busName;       // org.mpris.MediaPlayer2.mpv
  std::string owner;         // its unique name, that signals come from
  std::string desktopEntry;  // its own name for itself, when it gives one
  std::uint64_t lastPlaying = 0;  // when last seen playing, by the directory's count; 0: never
  bool learned = false;      // its properties are in
  PlayerQueue queue;
  SlotPtr learning;          // the wait for its properties
  SlotPtr learningEntry;     // and for its desktop entry
};

class PlayerDirectory {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PlayerDirectory(sd_bus* bus) : bus_(bus) {}
  PlayerDirectory(const PlayerDirectory&) = delete;
  PlayerDirectory& operator=(const PlayerDirectory&) = delete;

  // Asks to hear of players coming, going and playing, and for the ones there are now.
  bool Start(std::string& error);
  // The players at start are listed and learned (or the bus gave up on them).
  bool Listed() const;

  // The player the map names: NAME, or NAME with an instance after it (NAME.instance12).
  Player* Named(const std::string& name);
  // The player whose desktop entry or name is the window's class, case aside.
  Player* ForWindow(const std::string& windowClass);
  Player* LastPlaying();

  std::map<std::string, std::unique_ptr<Player>>& players() { return players_; }

 private:
  void Add(const std::string& busName, const std::string& owner);
  void Learn(Player& player);
  static int NameChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int PropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int NamesListed(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int PropertiesRead(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int EntryRead(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  // Reads PlaybackStatus and MinimumRate from an a{sv} of the player's properties.
  void TakeProperties(Player& player, sd_bus_message* message);

  sd_bus* bus_;
  std::map<std::string, std::unique_ptr<Player>> players_;
  std::uint64_t playCount_ = 0;
  static int SeekDone(sd_bus_message* message, void* userdata, sd_bus_error* error);

  SlotPtr nameMatch_, propertiesMatch_, seekedMatch_, listing_;
  bool listed_ = false;
};

}  // namespace jskeys
