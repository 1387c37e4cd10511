// The simulator seen from a host that opens the slave through the link, as the link itself will.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ControllerSim.h"
#include "TempDir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
using jssim::ControllerSim;
using jssim::SimEvent;
using jssim::SimOptions;

constexpr auto kPatience = 5s;  // for what must happen; never reached when all is well
const Bytes kReset = {0x43};
const Bytes kGetStatus = {0x40, 0x41, 0x42};
const Bytes kMarker = {0xEE, 0xEF};

using jstesting::TempDir;

// The far end of the line, opened through the link.
class Host {
 public:
  explicit Host(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~Host() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool ok() const { return fd_ >= 0; }

  void Write(const Bytes& bytes) const {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until `count` bytes came or the patience ran out.
  Bytes Read(std::size_t count) const {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd fd = {fd_, POLLIN, 0};
      if (::poll(&fd, 1, 100) <= 0 || (fd.revents & POLLIN) == 0) continue;
      std::uint8_t buffer[512];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
      if (n == 0 || (n < 0 && errno == EIO)) break;
    }
    return got;
  }
  // Everything the simulator sent before a marker it is told to send now. Writes to the master
  // reach the slave through a kernel work queue, so "nothing arrived yet" proves nothing;
  // "nothing arrived before the marker" does.
  Bytes Drain(ControllerSim& sim) const {
    if (!sim.Send(kMarker)) return {0xFF, 0xFF, 0xFF, 0xFF};  // never a valid answer here
    Bytes got;
    while (got.size() < kMarker.size() ||
           !std::equal(kMarker.begin(), kMarker.end(), got.end() - kMarker.size())) {
      const Bytes more = Read(1);
      if (more.empty()) return {0xFF, 0xFF, 0xFF, 0xFF};
      got.push_back(more[0]);
    }
    got.resize(got.size() - kMarker.size());
    return got;
  }
  bool SeesHangUp() const {
    pollfd fd = {fd_, POLLIN, 0};
    return ::poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) > 0 &&
           (fd.revents & POLLHUP) != 0;
  }
  // What a read gives once the line is gone: 0 (end of file) or -1 with EIO.
  bool ReadSaysGone() const {
    std::uint8_t byte;
    for (;;) {
      const ssize_t n = ::read(fd_, &byte, 1);
      if (n == 0 || (n < 0 && errno == EIO)) return true;
      if (n < 0) return false;  // anything still buffered comes first; skip it
    }
  }

 private:
  int fd_;
};

Bytes Reply(std::uint16_t c0, std::uint8_t c1, std::uint8_t c2) {
  return {0xC0, static_cast<std::uint8_t>(c0 >> 8), static_cast<std::uint8_t>(c0), 0xC1, c1, 0xC2,
          c2};
}

class Sim : public ::testing::Test {
 protected:
  void Start(const SimOptions& options = {}) {
    std::string error;
    ASSERT_TRUE(sim.Start(link, options, &error)) << error;
    host = std::make_unique<Host>(link);
    ASSERT_TRUE(host->ok());
  }
  // Sends `bytes` and waits until the simulator has taken them in.
  void Put(const Bytes& bytes) {
    const std::size_t before = sim.Received().size();
    host->Write(bytes);
    ASSERT_TRUE(sim.WaitUntil([&](const Bytes& r) { return r.size() >= before + bytes.size(); },
                              kPatience));
  }

  TempDir dir;
  std::string link = dir / "com1";
  ControllerSim sim;
  std::unique_ptr<Host> host;
};

TEST_F(Sim, LinksTheSlaveWhileRunningAndRemovesTheLinkOnStop) {
  Start();
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.SlavePath());
  EXPECT_EQ(sim.SlavePath().rfind("/dev/pts/", 0), 0u) << sim.SlavePath();
  sim.Stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  sim.Stop();
  std::string error;
  EXPECT_FALSE(sim.Start(dir / "missing/com1", {}, &error));
  EXPECT_FALSE(error.empty());
}

// What is at the link's path before Start, and what Start must do with it.
TEST_F(Sim, MakesOnlyANewLinkAndNeverTouchesWhatIsThere) {
  namespace fs = std::filesystem;
  enum class Before { kNothing, kFile, kDirectory, kLinkElsewhere, kStaleLink };
  struct Case {
    const char* name;
    Before before;
    bool starts;
  };
  const Case cases[] = {
      {"missing", Before::kNothing, true},
      {"a regular file", Before::kFile, false},
      {"a directory", Before::kDirectory, false},
      {"a user's link to another device", Before::kLinkElsewhere, false},
      {"a link left behind by an earlier run", Before::kStaleLink, false},
  };
  const std::string elsewhere = dir / "device";
  std::ofstream(elsewhere) << "device";
  int n = 10;
  for (const Case& c : cases) {
    const std::string path = dir / ("com" + std::to_string(n++));
    switch (c.before) {
      case Before::kNothing:
        break;
      case Before::kFile:
        std::ofstream(path) << "keep me";
        break;
      case Before::kDirectory:
        fs::create_directory(path);
        break;
      case Before::kLinkElsewhere:
        fs::create_symlink(elsewhere, path);
        break;
      case Before::kStaleLink:
        fs::create_symlink("/dev/pts/does-not-exist", path);
        break;
    }
    std::string error;
    EXPECT_EQ(sim.Start(path, {}, &error), c.starts) << c.name << ": " << error;
    if (c.starts) {
      EXPECT_EQ(fs::read_symlink(path).string(), sim.SlavePath()) << c.name;
      sim.Stop();
      EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << c.name << ": removed on Stop";
      continue;
    }
    EXPECT_NE(error.find(path), std::string::npos) << c.name << ": " << error;
    switch (c.before) {
      case Before::kNothing:
        break;
      case Before::kFile: {
        std::string text;
        std::getline(std::ifstream(path), text);
        EXPECT_EQ(text, "keep me") << c.name;
        break;
      }
      case Before::kDirectory:
        EXPECT_TRUE(fs::is_directory(fs::symlink_status(path))) << c.name;
        break;
      case Before::kLinkElsewhere:
        EXPECT_EQ(fs::read_symlink(path).string(), elsewhere) << c.name;
        break;
      case Before::kStaleLink:
        EXPECT_EQ(fs::read_symlink(path).string(), "/dev/pts/does-not-exist") << c.name;
        break;
    }
    sim.Stop();  // not started: touches nothing
    EXPECT_TRUE(fs::exists(fs::symlink_status(path))) << c.name;
  }
  std::string error;
  ASSERT_TRUE(sim.Start(link, {}, &error)) << error;
  EXPECT_FALSE(sim.Start(dir / "com2", {}, &error)) << "a second Start while running";
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "com2")));
}

// Someone who puts their own link at the path while we run keeps it: only a link to our slave
// is ours to remove.
TEST_F(Sim, StopLeavesALinkSomeoneElsePutInPlaceOfOurs) {
  namespace fs = std::filesystem;
  std::string error;
  ASSERT_TRUE(sim.Start(link, {}, &error)) << error;
  const std::string theirs = dir / "theirs";
  fs::remove(link);
  fs::create_symlink(theirs, link);
  sim.Stop();
  EXPECT_EQ(fs::read_symlink(link).string(), theirs);
  fs::remove(link);
  fs::create_directory(link);
  ASSERT_FALSE(sim.Start(link, {}, &error));
  fs::remove(link);
  ASSERT_TRUE(sim.Start(link, {}, &error)) << error;
  fs::remove(link);
  fs::create_directory(link);
  sim.HangUp();
  sim.Stop();
  EXPECT_TRUE(fs::is_directory(link));
}

TEST_F(Sim, AnswersAStatusRequestRawEvenWithLineControlBytes) {
  // 0x11, 0x13, 0x0D and 0x03 are what a cooked line eats or changes.
  Start({.statusC0 = 0x110D, .statusC1 = 0x13, .statusC2 = 0x03});
  Put(kReset);
  host->Write(kGetStatus);
  EXPECT_EQ(host->Read(7), Reply(0x110D, 0x13, 0x03));
  EXPECT_EQ(sim.ResetsReceived(), 1u);
  EXPECT_EQ(sim.StatusRequestsReceived(), 1u);
  // Bytes are counted in Received() only after their replies went out.
  EXPECT_TRUE(sim.WaitUntil(
      [](const Bytes& r) {
        return r == Bytes{0x43, 0x40, 0x41, 0x42};
      },
      kPatience));
}

TEST_F(Sim, ARequestSplitAcrossWritesIsStillOneRequest) {
  Start();
  Put({0x40});
  Put({0x41});
  EXPECT_EQ(host->Drain(sim), Bytes{});
  host->Write({0x42});
  EXPECT_EQ(host->Read(7), Reply(0x0001, 0, 0));
  EXPECT_EQ(sim.StatusRequestsReceived(), 1u);
}

TEST_F(Sim, ParsesTheHostsBytesAsAStream) {
  struct Case {
    Bytes input;
    std::uint32_t resets, requests;
    Bytes unknown;
  };
  const Case cases[] = {
      {{0x40, 0x40, 0x41, 0x42}, 0, 1, {0x40}},
      {{0x40, 0x41, 0x43, 0x40, 0x41, 0x42}, 1, 1, {0x40, 0x41}},
      {{0x41, 0x42, 0x00, 0xFF}, 0, 0, {0x41, 0x42, 0x00, 0xFF}},
      {{0x40, 0x41, 0x42, 0x40, 0x41, 0x42, 0x43, 0x43}, 2, 2, {}},
  };
  for (const Case& c : cases) {
    std::mutex lock;
    Bytes unknown;
    SimOptions options;
    options.silent = true;
    options.observer = [&](const SimEvent& e) {
      std::lock_guard guard(lock);
      if (e.kind == SimEvent::Kind::kReceivedUnknownByte)
        unknown.push_back(static_cast<std::uint8_t>(e.number));
    };
    Start(options);
    Put(c.input);
    EXPECT_EQ(sim.ResetsReceived(), c.resets);
    EXPECT_EQ(sim.StatusRequestsReceived(), c.requests);
    std::lock_guard guard(lock);
    EXPECT_EQ(unknown, c.unknown);
    sim.Stop();
  }
}

TEST_F(Sim, TheLongestInitTextFitsAndOneMoreByteIsRefused) {
  std::string error;
  EXPECT_FALSE(sim.Start(link, {.initText = std::string(254, 'x'), .sendInit = true}, &error));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  Start({.initText = std::string(253, 'x'), .sendInit = true});
  Put(kReset);
  const Bytes got = host->Drain(sim);
  ASSERT_EQ(got.size(), 255u);
  EXPECT_EQ(got[1], 0xFF);
}

TEST_F(Sim, HangsUpAfterTheGivenRequestWithoutAnsweringIt) {
  Start({.hangUpAfterRequests = 2});
  host->Write(kGetStatus);
  EXPECT_EQ(host->Read(7), Reply(0x0001, 0, 0));
  host->Write(kGetStatus);
  EXPECT_TRUE(host->SeesHangUp());
  EXPECT_TRUE(host->ReadSaysGone());
  EXPECT_EQ(host->Read(1), Bytes{});
  EXPECT_EQ(sim.StatusRequestsReceived(), 2u);
  EXPECT_FALSE(sim.Send(kMarker));
  // Gone with the line, not at Stop: the slave's number may name another terminal by then.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  sim.Stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST_F(Sim, HangUpLooksLikeAnUnpluggedLine) {
  Start();
  sim.HangUp();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)))
      << "the link goes with the line, as a device's link goes when it is unplugged";
  EXPECT_TRUE(host->SeesHangUp());
  EXPECT_TRUE(host->ReadSaysGone());
  EXPECT_FALSE(sim.Send(kMarker));
  sim.HangUp();
  sim.Stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST_F(Sim, StopWhileAHostHoldsTheLineHangsItUp) {
  Start();
  sim.Stop();
  EXPECT_TRUE(host->SeesHangUp());
  EXPECT_TRUE(host->ReadSaysGone());
}

TEST_F(Sim, EveryByteValueGoesThroughUnchangedAndNothingIsEchoed) {
  Start();
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(sim.Send(all));
  EXPECT_EQ(host->Read(all.size()), all);
  Put(kReset);
  // An echoing line would have fed our own 256 bytes back to us before the reset.
  EXPECT_EQ(sim.Received(), kReset);
  EXPECT_EQ(host->Drain(sim), Bytes{});
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(Sim, IdlesWithoutCpuWhileNoHostHasTheLineAndServesTheNextOne) {
  Start();
  Put(kGetStatus);
  EXPECT_EQ(host->Read(7), Reply(0x0001, 0, 0));
  host->Close();
  const double before = CpuSeconds();
  std::this_thread::sleep_for(400ms);
  EXPECT_LT(CpuSeconds() - before, 0.2) << "the responder spins while no host has the line";
  Host next(link);
  ASSERT_TRUE(next.ok());
  next.Write(kGetStatus);
  EXPECT_EQ(next.Read(7), Reply(0x0001, 0, 0));
}

TEST_F(Sim, ASendWaitingForRoomEndsOnHangUp) {
  Start();
  host->Close();  // no one reads: the line's buffer fills up
  std::atomic<std::size_t> sent{0};
  auto sender = std::async(std::launch::async, [&] {
    const Bytes chunk(1024, 0x80);
    while (sim.Send(chunk)) sent += chunk.size();
    return sent.load();
  });
  std::size_t last = 0;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  do {  // until the sender is stuck
    last = sent.load();
    std::this_thread::sleep_for(200ms);
  } while (sent.load() != last && std::chrono::steady_clock::now() < deadline);
  sim.HangUp();
  ASSERT_EQ(sender.wait_for(kPatience), std::future_status::ready);
  EXPECT_GT(sender.get(), 0u);
}

TEST_F(Sim, SendsAndRepliesFromManyThreadsNeverInterleave) {
  Start({.statusC0 = 0x1234, .statusC1 = 0x56, .statusC2 = 0x78});
  constexpr int kJogs = 300, kRequests = 40;
  auto jogs = [&](std::uint8_t step) {
    for (int i = 0; i < kJogs; ++i) sim.Send(Bytes{0x80, step});
  };
  std::thread up(jogs, 0x01), down(jogs, 0xFF);
  for (int i = 0; i < kRequests; ++i) host->Write(kGetStatus);
  up.join();
  down.join();
  ASSERT_TRUE(sim.WaitUntil([&](const Bytes&) { return sim.StatusRequestsReceived() == kRequests; },
                            kPatience));
  const Bytes got = host->Drain(sim);
  int jogMessages = 0, replies = 0;
  for (std::size_t i = 0; i < got.size();) {
    if (got[i] == 0x80 && i + 1 < got.size() && (got[i + 1] == 0x01 || got[i + 1] == 0xFF)) {
      ++jogMessages;
      i += 2;
    } else if (Bytes(got.begin() + i, got.begin() + std::min(i + 7, got.size())) ==
               Reply(0x1234, 0x56, 0x78)) {
      ++replies;
      i += 7;
    } else {
      FAIL() << "torn message at byte " << i;
    }
  }
  EXPECT_EQ(jogMessages, 2 * kJogs);
  EXPECT_EQ(replies, kRequests);
}

}  // namespace
