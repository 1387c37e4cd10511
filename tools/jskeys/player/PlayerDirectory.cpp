#include "PlayerDirectory.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace jskeys {

namespace {

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool IsPlayerName(const char* name) {
  return std::strncmp(name, kMprisPrefix, std::strlen(kMprisPrefix)) == 0;
}

}  // namespace

bool PlayerDirectory::Start(std::string& error) {
  // The matches go first: a player that comes while the list is on its way is heard of.
  int result = 0;
  auto match = [&](SlotPtr& kept, const char* rule, sd_bus_message_handler_t handler) {
    if (result < 0) return;
    sd_bus_slot* slot = nullptr;
    result = sd_bus_add_match_async(bus_, &slot, rule, handler, nullptr, this);
    kept.reset(slot);
  };
  match(nameMatch_,
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0namespace='org.mpris.MediaPlayer2'",
        &PlayerDirectory::NameChanged);
  match(propertiesMatch_,
        "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
        "path='/org/mpris/MediaPlayer2',arg0='org.mpris.MediaPlayer2.Player'",
        &PlayerDirectory::PropertiesChanged);
  match(seekedMatch_,
        "type='signal',interface='org.mpris.MediaPlayer2.Player',member='Seeked',"
        "path='/org/mpris/MediaPlayer2'",
        &PlayerDirectory::SeekDone);
  MessagePtr list;
  if (result >= 0) {
    list = NewCall(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                   "ListNames");
  }
  if (list) listing_ = CallAsync(bus_, list.get(), &PlayerDirectory::NamesListed, this);
  if (!listing_) {
    error = result < 0 ? std::strerror(-result) : "the bus took no call";
    return false;
  }
  return true;
}

bool PlayerDirectory::Listed() const {
  return listed_ && std::all_of(players_.begin(), players_.end(),
                                [](const auto& entry) { return entry.second->learned; });
}

Player* PlayerDirectory::Named(const std::string& name) {
  const std::string exact = kMprisPrefix + name;
  Player* found = nullptr;
  for (auto& [busName, player] : players_) {
    if (busName != exact && busName.rfind(exact + ".", 0) != 0) continue;
    if (found == nullptr || player->lastPlaying > found->lastPlaying) found = player.get();
  }
  return found;
}

Player* PlayerDirectory::ForWindow(const std::string& windowClass) {
  if (windowClass.empty()) return nullptr;
  Player* found = nullptr;
  for (auto& [busName, player] : players_) {
    const std::string own = busName.substr(std::strlen(kMprisPrefix));
    const std::string withoutInstance = own.substr(0, own.find('.'));
    if (!SameText(player->desktopEntry, windowClass) && !SameText(own, windowClass) &&
        !SameText(withoutInstance, windowClass)) {
      continue;
    }
    if (found == nullptr || player->lastPlaying > found->lastPlaying) found = player.get();
  }
  return found;
}

Player* PlayerDirectory::LastPlaying() {
  Player* found = nullptr;
  for (auto& [busName, player] : players_) {
    if (player->lastPlaying == 0) continue;
    if (found == nullptr || player->lastPlaying > found->lastPlaying) found = player.get();
  }
  return found;
}

void PlayerDirectory::Add(const std::string& busName, const std::string& owner) {
  auto& player = players_[busName];
  player = std::make_unique<Player>(this, bus_, busName);
  player->owner = owner;
  Learn(*player);
}

void PlayerDirectory::Learn(Player& player) {
  MessagePtr all = NewCall(bus_, player.busName, kMprisPath, kProperties, "GetAll");
  if (all && sd_bus_message_append(all.get(), "s", kMprisPlayer) >= 0) {
    player.learning = CallAsync(bus_, all.get(), &PlayerDirectory::PropertiesRead, &player);
  }
  MessagePtr entry = NewCall(bus_, player.busName, kMprisPath, kProperties, "Get");
  if (entry && sd_bus_message_append(entry.get(), "ss", kMprisRoot, "DesktopEntry") >= 0) {
    player.learningEntry = CallAsync(bus_, entry.get(), &PlayerDirectory::EntryRead, &player);
  }
  if (!player.learning) {
    player.learned = true;
    player.queue.Learned(1.0, Clock::now());
  }
}

int PlayerDirectory::NamesListed(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* directory = static_cast<PlayerDirectory*>(userdata);
  directory->listing_.reset();
  directory->listed_ = true;
  if (sd_bus_message_is_method_error(reply, nullptr)) return 0;
  if (sd_bus_message_enter_container(reply, 'a', "s") < 0) return 0;
  const char* name = nullptr;
  while (sd_bus_message_read(reply, "s", &name) > 0) {
    // One the name changes already told of stays as it is.
    if (IsPlayerName(name) && directory->players_.count(name) == 0) directory->Add(name, "");
  }
  return 0;
}

int PlayerDirectory::NameChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* directory = static_cast<PlayerDirectory*>(userdata);
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  if (!IsPlayerName(name)) return 0;
  // A player that goes takes its queue with it; one that comes (again) is learned afresh.
  directory->players_.erase(name);
  if (*newOwner != '\0') directory->Add(name, newOwner);
  return 0;
}

int PlayerDirectory::PropertiesRead(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& player = *static_cast<Player*>(userdata);
  player.learning.reset();
  double minimumRate = 1.0;  // what a player that tells none can do
  if (!sd_bus_message_is_method_error(reply, nullptr)) {
    if (player.owner.empty()) {
      const char* sender = sd_bus_message_get_sender(reply);
      if (sender != nullptr) player.owner = sender;
    }
    ReadProperties(reply, [&](const std::string& name, sd_bus_message* m) {
      if (name == "MinimumRate") {
        if (const auto rate = ReadDoubleVariant(m)) minimumRate = *rate;
        return true;
      }
      if (name == "PlaybackStatus") {
        const auto status = ReadStringVariant(m);
        if (status && *status == "Playing") player.lastPlaying = ++player.directory->playCount_;
        return true;
      }
      return false;
    });
  }
  player.learned = true;
  player.queue.Learned(minimumRate, Clock::now());
  return 0;
}

int PlayerDirectory::EntryRead(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& player = *static_cast<Player*>(userdata);
  player.learningEntry.reset();
  if (sd_bus_message_is_method_error(reply, nullptr)) return 0;
  if (const auto entry = ReadStringVariant(reply)) player.desktopEntry = *entry;
  return 0;
}

int PlayerDirectory::PropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* directory = static_cast<PlayerDirectory*>(userdata);
  const char* sender = sd_bus_message_get_sender(message);
  if (sender == nullptr) return 0;
  for (auto& [busName, player] : directory->players_) {
    if (player->owner != sender) continue;
    sd_bus_message_rewind(message, 1);
    directory->TakeProperties(*player, message);
  }
  return 0;
}

int PlayerDirectory::SeekDone(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* directory = static_cast<PlayerDirectory*>(userdata);
  const char* sender = sd_bus_message_get_sender(message);
  if (sender == nullptr) return 0;
  std::int64_t position = 0;
  const bool told = sd_bus_message_read(message, "x", &position) >= 0;
  for (auto& [busName, player] : directory->players_) {
    if (player->owner == sender) {
      player->queue.Seeked(Clock::now(), told ? std::optional(position) : std::nullopt);
    }
  }
  return 0;
}

void PlayerDirectory::TakeProperties(Player& player, sd_bus_message* message) {
  const char* interface = nullptr;
  if (sd_bus_message_read(message, "s", &interface) < 0) return;
  ReadProperties(message, [&](const std::string& name, sd_bus_message* m) {
    if (name != "PlaybackStatus") return false;
    const auto status = ReadStringVariant(m);
    if (status && *status == "Playing") player.lastPlaying = ++playCount_;
    return true;
  });
}

}  // namespace jskeys
