// snapsave-cli: the command-line front end over the scan engines.
#include <cstdio>

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
  CLI::App app{"Snapsave: find and recover deleted files on disks, volumes and disk images."};
  app.set_version_flag("--version", "snapsave-cli 0.1.0");
  app.require_subcommand(0, 1);
  CLI11_PARSE(app, argc, argv);
  if (app.get_subcommands().empty()) {
    std::fputs(app.help().c_str(), stdout);
  }
  return 0;
}
