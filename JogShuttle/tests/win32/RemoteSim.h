#pragma once
// A simulated controller played by the simulator server on the Linux side of the Wine bench,
// with the interface of jssim::ControllerSim that the link tests use. The server's port comes
// from JS_SIMSERVER_PORT; names are those of the bench's port directory ("com1"), which the
// bench's Wine prefix maps to COM1 and up.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "SimOptions.h"

namespace linktest {

class RemoteSim {
 public:
  RemoteSim() = default;
  ~RemoteSim();  // Stop()
  RemoteSim(const RemoteSim&) = delete;
  RemoteSim& operator=(const RemoteSim&) = delete;

  // The server's port, or 0 when the variable is unset or bad.
  static std::uint16_t ServerPort();

  bool Start(const std::string& name, const jssim::SimOptions& options, std::string* error);
  void Stop();
  bool Send(std::span<const std::uint8_t> bytes);
  void HangUp();

  std::vector<std::uint8_t> Received() const;
  std::uint32_t ResetsReceived() const;
  std::uint32_t StatusRequestsReceived() const;
  // Asks the server again every few milliseconds until pred holds or the time is up.
  bool WaitUntil(const std::function<bool(const std::vector<std::uint8_t>&)>& pred,
                 std::chrono::milliseconds timeout) const;

 private:
  // One request, one answer; false (with the answer's text in *answer) unless it is "ok".
  bool Ask(const std::string& request, std::string* answer) const;
  bool Exchange(const std::string& request, std::string* answer) const;  // mutex_ held
  void Disconnect();

  mutable std::mutex mutex_;
  std::uintptr_t socket_ = ~std::uintptr_t{0};  // a SOCKET; INVALID_SOCKET when not connected
  mutable std::string pending_;
};

}  // namespace linktest
