#pragma once

#include <memory>
#include <optional>

namespace CLI {
class App;
}

namespace deskwave {

// The subcommands of `deskwave` for running without a window and for support:
// the account (login, signup, logout), the AI tool list (tools …), the pairing
// PIN (pair), an overview (status) and raw settings (settings …). They work on
// the program's own settings file and secrets, so they may run while the
// bridge does; the bridge itself runs when no subcommand is given.
class CommandLine {
 public:
  // Registers the subcommands on `app`. The returned object holds what they
  // parse into: keep it until run() has returned.
  static std::unique_ptr<CommandLine> addTo(CLI::App& app);
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // After parsing: runs the chosen subcommand and returns the process's exit
  // status (0 done, 1 failed, 2 input refused). nullopt when no subcommand was
  // given.
  std::optional<int> run();

 private:
  struct Parsed;
  CommandLine();
  std::unique_ptr<Parsed> parsed_;
};

}  // namespace deskwave
