#pragma once
// Subcommands of zelctl. Each group registers its subcommands on the application; a
// subcommand's callback leaves the process exit code in `exit_code`.

namespace CLI {
class App;
}

namespace zelctl {

struct Context {
  int exit_code = 0;
};

// clock-plan: Si5346 frequency plan and register list.
void register_clock_commands(CLI::App& app, Context& context);

}  // namespace zelctl
