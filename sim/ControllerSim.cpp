// Pseudo-terminal facts this relies on (Linux):
// - while no one has the slave open, poll() on the master reports POLLHUP at once on every call
//   and reads give EIO. We keep a slave fd of our own open for the whole run, so the responder
//   can block in poll() while hosts come and go.
// - the slave's line settings are shared by every fd on it; made raw here, so nothing we send
//   is echoed back to us and bytes such as 0x03, 0x0D, 0x11 and 0x13 pass unchanged.
// - no flock on the slave: the link locks it (flock, TIOCEXCL) when it opens it.
// - closing an fd does not wake a poll() on it in another thread, and a closed number can be
//   handed out again at once; so the master is closed only by the responder itself or after it
//   has ended, and a wake-up pipe ends its wait.

#include "ControllerSim.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace jssim {

namespace {

bool Fail(std::string* error, const std::string& what, int code) {
  if (error != nullptr) {
    *error = what;
    if (code != 0) *error += ": " + std::system_category().message(code);
  }
  return false;
}

bool OpenPipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
#if defined(__linux__)
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
#else
  if (::pipe(fds) != 0) return false;
  for (int fd : fds) {
    (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
    (void)::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
#endif
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
  return true;
}

// The slave as a controller's line: raw, 19200 baud 8N1, receiver on, no modem control.
bool MakeRaw(int fd) {
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) return false;
  ::cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  if (::cfsetispeed(&settings, B19200) != 0 || ::cfsetospeed(&settings, B19200) != 0) {
    return false;
  }
  return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

// Puts a symlink to `target` at `path`. Whatever is already there (a file, a directory, a user's
// own link, or a link some earlier run left behind) stays untouched: symlink() refuses any
// existing name in one step, so nothing can slip in between a look and the making.
bool PlaceLink(const std::string& target, const std::string& path, std::string* error) {
  if (::symlink(target.c_str(), path.c_str()) == 0) return true;
  if (errno == EEXIST) return Fail(error, "cannot link " + path + ": something is already there", 0);
  return Fail(error, "cannot create the link " + path, errno);
}

}  // namespace

ControllerSim::ControllerSim() = default;
ControllerSim::~ControllerSim() {
  Stop();
}

bool ControllerSim::Start(const std::string& linkPath, const SimOptions& options,
                          std::string* error) {
  std::lock_guard lifecycle(lifecycleMutex_);
  if (started_) return Fail(error, "the simulator is already running", 0);
  if (linkPath.empty()) return Fail(error, "no link path given", 0);
  if (options.sendInit && options.initText.size() > kMaxInitText) {
    return Fail(error, "init text longer than " + std::to_string(kMaxInitText) + " bytes", 0);
  }

  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.valid()) return Fail(error, "posix_openpt", errno);
  if (::grantpt(master.get()) != 0) return Fail(error, "grantpt", errno);
  if (::unlockpt(master.get()) != 0) return Fail(error, "unlockpt", errno);
  char name[128];
  if (const int code = ::ptsname_r(master.get(), name, sizeof name); code != 0) {
    return Fail(error, "ptsname_r", code);
  }
  UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave.valid()) return Fail(error, std::string("cannot open ") + name, errno);
  if (!MakeRaw(slave.get())) return Fail(error, "cannot make the slave raw", errno);
  // Replies must never block the responder while it holds the write lock without a way out.
  const int flags = ::fcntl(master.get(), F_GETFL);
  if (flags < 0 || ::fcntl(master.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return Fail(error, "cannot make the master non-blocking", errno);
  }
  UniqueFd wakeRead, wakeWrite;
  if (!OpenPipe(wakeRead, wakeWrite)) return Fail(error, "cannot create the wake-up pipe", errno);
  if (!PlaceLink(name, linkPath, error)) return false;

  options_ = options;
  linkPath_ = linkPath;
  slavePath_ = name;
  linkMade_.store(true);
  {
    std::lock_guard write(writeMutex_);
    master_ = std::move(master);
    ownSlave_ = std::move(slave);
    wakeRead_ = std::move(wakeRead);
    wakeWrite_ = std::move(wakeWrite);
  }
  attention_.store(false);
  model_.Restart(options);
  lineClosed_ = false;
  resets_.store(0);
  requests_.store(0);
  {
    std::lock_guard received(receivedMutex_);
    received_.clear();
    ++receivedVersion_;
  }
  try {
    responder_ = std::thread([this] { Respond(); });
  } catch (const std::system_error& failure) {
    CloseLine();
    CloseWakeUp();
    RemoveLink();
    return Fail(error, std::string("cannot start the responder thread: ") + failure.what(), 0);
  }
  started_ = true;
  return true;
}

void ControllerSim::Stop() {
  std::lock_guard lifecycle(lifecycleMutex_);
  if (!started_) return;
  RaiseAttention();
  if (responder_.joinable()) responder_.join();
  CloseLine();
  CloseWakeUp();
  RemoveLink();
  started_ = false;
}

void ControllerSim::HangUp() {
  std::lock_guard lifecycle(lifecycleMutex_);
  if (!started_) return;
  RaiseAttention();
  if (responder_.joinable()) responder_.join();
  RemoveLink();  // before the slave's number is freed and can be handed to another terminal
  CloseLine();
}

bool ControllerSim::Send(std::span<const std::uint8_t> bytes) {
  return WriteAll(bytes);
}

std::vector<std::uint8_t> ControllerSim::Received() const {
  std::lock_guard lock(receivedMutex_);
  return received_;
}

bool ControllerSim::WaitUntil(const std::function<bool(const std::vector<std::uint8_t>&)>& pred,
                              std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(receivedMutex_);
  for (;;) {
    // pred runs on a copy, without the lock, so it may call back into the simulator.
    const std::vector<std::uint8_t> snapshot = received_;
    const std::uint64_t version = receivedVersion_;
    lock.unlock();
    if (pred(snapshot)) return true;
    lock.lock();
    if (!receivedChanged_.wait_until(lock, deadline, [&] { return receivedVersion_ != version; })) {
      return false;  // pred already said no to what is there now
    }
  }
}

void ControllerSim::Respond() {
  std::array<std::uint8_t, 256> buffer{};
  bool watchMaster = true;
  while (!lineClosed_) {
    pollfd fds[2] = {{watchMaster ? master_.get() : -1, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;  // EFAULT, EINVAL or ENOMEM: nothing that waiting again would mend
    }
    if (fds[1].revents != 0) return;  // Stop or HangUp; they finish the work after the join
    bool gotBytes = false;
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t count = ::read(master_.get(), buffer.data(), buffer.size());
      if (count > 0) {
        gotBytes = true;
        std::size_t consumed = 0;
        while (consumed < static_cast<std::size_t>(count) && !lineClosed_) {
          Consume(buffer[consumed++]);
        }
        // Published after the replies were written, so a waiter that sees a request can read
        // its answer at once.
        std::lock_guard lock(receivedMutex_);
        received_.insert(received_.end(), buffer.begin(),
                         buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
        ++receivedVersion_;
        receivedChanged_.notify_all();
      }
      // EINTR, EAGAIN, and EIO (no slave open): nothing now.
    }
    // With our own slave fd open the master never hangs up; if it ever does, poll would report
    // it at once on every call, so stop watching rather than spin.
    if (!gotBytes && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) watchMaster = false;
  }
}

void ControllerSim::Consume(std::uint8_t byte) {
  actions_.clear();
  model_.Consume(byte, actions_);
  for (const ControllerModel::Action& action : actions_) {
    if (lineClosed_) return;
    switch (action.kind) {
      case ControllerModel::Action::Kind::kUnknownByte:
        Report(SimEvent::Kind::kReceivedUnknownByte, action.number);
        break;
      case ControllerModel::Action::Kind::kReset:
        OnReset(action);
        break;
      case ControllerModel::Action::Kind::kStatusRequest:
        OnStatusRequest(action);
        break;
    }
  }
}

void ControllerSim::OnReset(const ControllerModel::Action& action) {
  resets_.store(action.number);
  Report(SimEvent::Kind::kReceivedReset, action.number);
  if (!action.reply.empty() && WriteAll(action.reply)) {
    Report(SimEvent::Kind::kSentInit, 0, action.reply);
  }
}

void ControllerSim::OnStatusRequest(const ControllerModel::Action& action) {
  requests_.store(action.number);
  Report(SimEvent::Kind::kReceivedStatusRequest, action.number);
  if (action.hangUp) {
    HangUpFromResponder();
    return;
  }
  if (!action.reply.empty() && WriteAll(action.reply)) {
    Report(SimEvent::Kind::kSentReply, action.number, action.reply);
  }
}

void ControllerSim::HangUpFromResponder() {
  RaiseAttention();  // frees a Send waiting for room and fails every later one
  RemoveLink();
  CloseLine();
  lineClosed_ = true;
  Report(SimEvent::Kind::kHungUp, requests_.load());
}

bool ControllerSim::WriteAll(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(writeMutex_);
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (attention_.load() || !master_.valid()) return false;
    const ssize_t count = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
    if (count > 0) {
      done += static_cast<std::size_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    // The line's buffer is full (no host reads it): wait for room, or for Stop or a hang-up.
    pollfd fds[2] = {{master_.get(), POLLOUT, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0) return false;
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return false;
  }
  return true;
}

void ControllerSim::RaiseAttention() {
  attention_.store(true);
  const std::uint8_t one = 1;
  while (::write(wakeWrite_.get(), &one, 1) < 0 && errno == EINTR) {
  }
}

void ControllerSim::CloseLine() {
  std::lock_guard lock(writeMutex_);
  master_.Reset();  // first the master: every host fd on the slave now sees the line gone
  ownSlave_.Reset();
}

void ControllerSim::CloseWakeUp() {
  std::lock_guard lock(writeMutex_);  // a Send may be about to wait on it
  wakeRead_.Reset();
  wakeWrite_.Reset();
}

void ControllerSim::RemoveLink() {
  // Once, by whichever of Stop, HangUp or the responder's hang-up comes first.
  if (!linkMade_.exchange(false)) return;
  // Only a link that still points at our slave: someone may have put their own there since,
  // and that is not ours to take away. (One of theirs that names our slave goes too: it would
  // name whatever terminal gets the number next.)
  char target[256];
  const ssize_t length = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
  if (length < 0) return;
  target[length] = '\0';
  if (slavePath_ == target) (void)::unlink(linkPath_.c_str());
}

void ControllerSim::Report(SimEvent::Kind kind, std::uint32_t number,
                           std::vector<std::uint8_t> bytes) {
  if (options_.observer) options_.observer(SimEvent{kind, number, std::move(bytes)});
}

}  // namespace jssim
