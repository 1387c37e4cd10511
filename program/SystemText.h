#pragma once
// What the system hands a program as text, in UTF-8: the command line, the environment, paths.
// Windows keeps all of them in UTF-16 and gives char-based callers a copy in the ANSI code page,
// which turns every character the code page lacks into '?' (日本 in a Western code page) and
// shows the rest as bytes that are not UTF-8 (é as \xe9). So there they are taken as UTF-16 and
// converted; elsewhere they are the bytes as they are. A path goes back to the system through
// std::filesystem::path built from the wide text, never from a narrow string.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace jsprogram {

// The arguments after the program's name. On Windows `argc` and `argv` are not used: the
// system's own command line is split by the system's rules (CommandLineToArgvW).
std::vector<std::string> Arguments(int argc, char** argv);

// The variable's value; empty when it is unset.
std::string EnvironmentVariable(const char* name);

// A path from UTF-8 text, and a path as UTF-8 text (as the user wrote it, for messages).
std::filesystem::path PathOf(std::string_view text);
std::string TextOf(const std::filesystem::path& path);

}  // namespace jsprogram
