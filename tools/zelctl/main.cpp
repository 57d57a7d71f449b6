#include "commands.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
  CLI::App app{"zelctl: command-line host for zel_api"};
  app.require_subcommand(1);
  zelctl::Context context;

  zelctl::register_clock_commands(app, context);

  CLI11_PARSE(app, argc, argv);
  return context.exit_code;
}
