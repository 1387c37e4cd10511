#include "PortCheck.h"

#include "LogFormat.h"

// Paths and link targets are whatever anyone who may write the port directory made them:
// escaped as the log escapes, so that none can colour, reorder or split the line.
std::string ListLine(const PortInfo& info) {
  std::string line = "COM" + std::to_string(info.number) + "  " + jslog::SafeText(info.path);
  if (!info.target.empty()) line += " -> " + jslog::SafeText(info.target);
  if (!info.device.empty() && info.device != info.target && info.device != info.path) {
    line += " (" + jslog::SafeText(info.device) + ")";
  }
  line += "  ";
  switch (info.state) {
    case PortInfo::State::kMissing:
      // A node whose driver has nothing behind it says why; a name with nothing there does not.
      line += !info.device.empty() && !info.reason.empty() ? "missing (" + info.reason + ")"
              : info.target.empty()                        ? "missing"
                                                           : "missing (the link leads nowhere)";
      break;
    case PortInfo::State::kFree:
      line += "free";
      break;
    case PortInfo::State::kBusy:
      line += "busy: held by another program";
      break;
    case PortInfo::State::kForbidden:
      line += "may not be opened: " + info.reason;
      break;
    case PortInfo::State::kNotTerminal:
      line += "not a terminal";
      break;
    case PortInfo::State::kNotSerial:
      line += info.reason.empty() ? "not a serial port" : "not a serial port (" + info.reason + ")";
      break;
    case PortInfo::State::kUnusable:
      line += "cannot be opened: " + info.reason;
      break;
  }
  return line;
}

std::string DeviceSuffix(std::uint32_t number) {
  const std::string device = SerialJS::InspectPort(number, PortInfo::Look::kNameOnly).device;
  return device.empty() ? std::string() : " (" + jslog::SafeText(device) + ")";
}
