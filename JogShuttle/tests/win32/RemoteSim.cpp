#include "RemoteSim.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <thread>

#include "SimWire.h"
#include "Text.h"

namespace linktest {

namespace {

constexpr std::uintptr_t kNoSocket = ~std::uintptr_t{0};
static_assert(INVALID_SOCKET == kNoSocket);

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

}  // namespace

RemoteSim::~RemoteSim() { Stop(); }

std::uint16_t RemoteSim::ServerPort() {
  const char* text = std::getenv("JS_SIMSERVER_PORT");
  long long port = 0;
  if (text == nullptr || !jssim::ParseInteger(text, 1, 65535, port)) return 0;
  return static_cast<std::uint16_t>(port);
}

bool RemoteSim::Start(const std::string& name, const jssim::SimOptions& options,
                      std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  {
    std::lock_guard lock(mutex_);
    if (socket_ != kNoSocket) return fail("the simulator is already running");
    if (!StartWinsock()) return fail("WSAStartup failed");
    const std::uint16_t port = ServerPort();
    if (port == 0) return fail("JS_SIMSERVER_PORT is not set");
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return fail("socket: " + std::to_string(WSAGetLastError()));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      const int code = WSAGetLastError();
      closesocket(s);
      return fail("cannot reach the simulator server: " + std::to_string(code));
    }
    const BOOL one = TRUE;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    socket_ = s;
    pending_.clear();
  }
  std::string answer;
  if (!Ask("start " + name + " " + jssim::EncodeOptions(options), &answer)) {
    std::lock_guard lock(mutex_);
    Disconnect();
    return fail("simulator server: " + answer);
  }
  return true;
}

void RemoteSim::Stop() {
  std::lock_guard lock(mutex_);
  Disconnect();  // the server stops the controller when its connection ends
}

void RemoteSim::Disconnect() {
  if (socket_ == kNoSocket) return;
  // Asks for the stop and waits for its answer, so that the link is gone when Stop returns.
  (void)Exchange("stop", nullptr);
  closesocket(socket_);
  socket_ = kNoSocket;
}

bool RemoteSim::Send(std::span<const std::uint8_t> bytes) {
  return Ask("send " + jssim::HexString(bytes), nullptr);
}

void RemoteSim::HangUp() { (void)Ask("hangup", nullptr); }

std::vector<std::uint8_t> RemoteSim::Received() const {
  std::string answer;
  std::vector<std::uint8_t> bytes;
  if (Ask("received", &answer)) (void)jssim::ParseHexString(answer, bytes);
  return bytes;
}

std::uint32_t RemoteSim::ResetsReceived() const {
  std::string answer;
  if (!Ask("counts", &answer)) return 0;
  return static_cast<std::uint32_t>(std::strtoul(answer.c_str(), nullptr, 10));
}

std::uint32_t RemoteSim::StatusRequestsReceived() const {
  std::string answer;
  if (!Ask("counts", &answer)) return 0;
  const std::size_t space = answer.find(' ');
  if (space == std::string::npos) return 0;
  return static_cast<std::uint32_t>(std::strtoul(answer.c_str() + space + 1, nullptr, 10));
}

bool RemoteSim::WaitUntil(const std::function<bool(const std::vector<std::uint8_t>&)>& pred,
                          std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pred(Received())) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool RemoteSim::Ask(const std::string& request, std::string* answer) const {
  std::lock_guard lock(mutex_);
  return Exchange(request, answer);
}

bool RemoteSim::Exchange(const std::string& request, std::string* answer) const {
  if (answer != nullptr) answer->clear();
  if (socket_ == kNoSocket) return false;
  const std::string line = request + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const int sent = send(socket_, line.data() + done, static_cast<int>(line.size() - done), 0);
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  std::size_t end;
  while ((end = pending_.find('\n')) == std::string::npos) {
    char buffer[4096];
    const int got = recv(socket_, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
  const std::string reply = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  const bool ok = reply == "ok" || reply.rfind("ok ", 0) == 0;
  if (answer != nullptr) *answer = reply.size() > 3 ? reply.substr(3) : std::string();
  if (!ok && answer != nullptr) *answer = reply;
  return ok;
}

}  // namespace linktest
