// Verbs of the wren tool. Each verb adds its subcommand to the application and
// returns what to run when it is chosen; main() lists them.
#pragma once

#include "zor_dispatch.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Options shared by every verb.
struct ToolOptions {
    // Where the host finds it: ZOR_PLUGIN_PATH, then zor/plugins beside the host library.
    std::string plugin = ZorFindPlugin("libzorwren.so");
};

struct Verb {
    CLI::App *command;
    std::function<int()> run;  // the tool's exit status
};

Verb add_paths_verb(CLI::App &app, const ToolOptions &options);
Verb add_demo_verb(CLI::App &app, const ToolOptions &options);
Verb add_run_verb(CLI::App &app, const ToolOptions &options);

// Loads the plug-in; on failure prints one error line and returns null.
std::unique_ptr<ZorPlugin> load_plugin(const ToolOptions &options);
