// simserver: plays simulated controllers on pseudo-terminals for test programs that cannot make
// pseudo-terminals themselves (the Windows tests under Wine). Listens on 127.0.0.1; each
// connection owns one controller, linked as PORT_DIR/comN, and ends it when it closes.
//
//   simserver --port-dir DIR --port-file FILE
//
// The listening port (chosen by the system) is written to FILE once the server accepts. One
// request per line, one answer line each: "ok [VALUE]" or "error TEXT".
//   start comN OPTIONS   a controller on DIR/comN (OPTIONS as jssim::EncodeOptions writes them)
//   send HEX             bytes towards the host, whole
//   hangup               close the line as if unplugged
//   stop                 end the controller and remove its link
//   received             ok HEX: every byte received since start
//   counts               ok RESETS REQUESTS
// SIGINT or SIGTERM ends the server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "ControllerSim.h"
#include "SimWire.h"

namespace {

bool IsPortName(std::string_view name) {
  return name.size() > 3 && name.size() <= 5 && name.substr(0, 3) == "com" &&
         name.find_first_not_of("0123456789", 3) == std::string_view::npos;
}

class Connection {
 public:
  Connection(int fd, std::string portDir) : fd_(fd), portDir_(std::move(portDir)) {}
  ~Connection() {
    sim_.Stop();
    ::close(fd_);
  }

  void Serve() {
    std::string line;
    while (ReadLine(line)) {
      if (!WriteLine(Answer(line))) return;
    }
  }

 private:
  std::string Answer(std::string_view line) {
    const std::size_t space = line.find(' ');
    const std::string_view verb = line.substr(0, space);
    const std::string_view rest =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (verb == "start") {
      const std::size_t end = rest.find(' ');
      const std::string_view name = rest.substr(0, end);
      if (!IsPortName(name)) return "error bad port name '" + std::string(name) + "'";
      jssim::SimOptions options;
      std::string error;
      const std::string_view words =
          end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      if (!jssim::DecodeOptions(words, options, error)) return "error " + error;
      if (!sim_.Start(portDir_ + "/" + std::string(name), options, &error)) {
        return "error " + error;
      }
      return "ok";
    }
    if (verb == "send") {
      std::vector<std::uint8_t> bytes;
      if (!jssim::ParseHexString(rest, bytes)) return "error bad bytes";
      return sim_.Send(bytes) ? "ok" : "error the line is closed";
    }
    if (verb == "hangup") {
      sim_.HangUp();
      return "ok";
    }
    if (verb == "stop") {
      sim_.Stop();
      return "ok";
    }
    if (verb == "received") return "ok " + jssim::HexString(sim_.Received());
    if (verb == "counts") {
      return "ok " + std::to_string(sim_.ResetsReceived()) + " " +
             std::to_string(sim_.StatusRequestsReceived());
    }
    return "error unknown request '" + std::string(verb) + "'";
  }

  bool ReadLine(std::string& line) {
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        line = pending_.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pending_.erase(0, end + 1);
        return true;
      }
      char buffer[4096];
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got > 0) {
        pending_.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        return false;
      }
    }
  }

  bool WriteLine(const std::string& text) {
    const std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t sent = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
      if (sent > 0) {
        done += static_cast<std::size_t>(sent);
      } else if (sent < 0 && errno != EINTR) {
        return false;
      }
    }
    return true;
  }

  int fd_;
  std::string portDir_;
  std::string pending_;
  jssim::ControllerSim sim_;
};

int Fail(const std::string& what) {
  std::fprintf(stderr, "simserver: %s: %s\n", what.c_str(), std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string portDir, portFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--port-dir") portDir = argv[i + 1];
    if (name == "--port-file") portFile = argv[i + 1];
  }
  if (portDir.empty() || portFile.empty() || argc != 5) {
    std::fprintf(stderr, "usage: simserver --port-dir DIR --port-file FILE\n");
    return 2;
  }
  // Taken by sigwait below; blocked before any thread exists, so every thread inherits it.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return Fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // the system picks a free one
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Fail("cannot listen on 127.0.0.1");
  }
  {
    // Written beside it and renamed, so that a reader never sees half a number.
    const std::string temporary = portFile + ".part";
    std::ofstream(temporary) << ntohs(address.sin_port) << "\n";
    if (std::rename(temporary.c_str(), portFile.c_str()) != 0) return Fail("cannot write " + portFile);
  }

  std::thread([listener, portDir] {
    for (;;) {
      const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      const int one = 1;  // one small request and answer at a time: no Nagle delays
      (void)::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::thread([client, portDir] { Connection(client, portDir).Serve(); }).detach();
    }
  }).detach();

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  // Controllers still running end with the process; the bench removes its port directory.
  return 0;
}
