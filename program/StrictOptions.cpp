#include "StrictOptions.h"

#include <string_view>

#include "StrictNumbers.h"

namespace jsprogram {

namespace {

CLI::Option* AddStrict(CLI::App& app, const std::string& name, std::uint32_t& value,
                       const std::string& description,
                       bool (*parse)(std::string_view, std::uint32_t&), const char* rule) {
  CLI::Option* option = app.add_option_function<std::string>(
      name,
      [&value, parse, rule, name](const std::string& text) {
        if (!parse(text, value)) {
          throw CLI::ValidationError(name, "'" + text + "' is not " + rule);
        }
      },
      description);
  option->type_name(name.find("port") != std::string::npos ? "N" : "MASK");
  return option;
}

}  // namespace

CLI::Option* AddPortOption(CLI::App& app, const std::string& name, std::uint32_t& value,
                           const std::string& description) {
  return AddStrict(app, name, value, description, &ParsePortNumber,
                   "a port number (decimal, 1 to 255)");
}

CLI::Option* AddMaskOption(CLI::App& app, const std::string& name, std::uint32_t& value,
                           const std::string& description) {
  return AddStrict(app, name, value, description, &ParseMask,
                   "a mask (decimal, or hexadecimal with 0x, up to 0xffffffff)");
}

}  // namespace jsprogram
