// A program's options from its command line, without the =path/to/notes.ini
// argument that names the server (found by the platform's own search).
#ifndef TOOLS_COMMON_PROGRAM_OPTIONS_H_
#define TOOLS_COMMON_PROGRAM_OPTIONS_H_

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tools {

// Nothing when the program goes on; else the exit code of --help (0) or of
// an option it cannot take, said already.
inline std::optional<int> ParseOptions(CLI::App& app, int argc, char** argv) {
  std::vector<std::string> words;  // CLI11 takes them last first
  for (int i = argc - 1; i > 0; --i) {
    if (argv[i][0] != '=') words.emplace_back(argv[i]);
  }
  try {
    app.parse(words);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return std::nullopt;
}

}  // namespace tools

#endif  // TOOLS_COMMON_PROGRAM_OPTIONS_H_
