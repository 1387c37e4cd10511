#pragma once
// Port numbers and masks as CLI11 options, read by the strict rules of StrictNumbers.h. Apart
// from them because CLI11 is heavy to compile and only the option readers need it.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

namespace jsprogram {

// The same rules as CLI11 options, so that every tool refuses a bad value alike (exit status 2).
CLI::Option* AddPortOption(CLI::App& app, const std::string& name, std::uint32_t& value,
                           const std::string& description);
CLI::Option* AddMaskOption(CLI::App& app, const std::string& name, std::uint32_t& value,
                           const std::string& description);

}  // namespace jsprogram
