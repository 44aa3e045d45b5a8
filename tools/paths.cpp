// wren paths: the paths the device registered, read back from the operation tree.
#include "verbs.h"

#include <set>

Verb add_paths_verb(CLI::App &app, const ToolOptions &options) {
    CLI::App *cmd = app.add_subcommand(
        "paths", "Load the device and print every path it registered, in registration order: row, path of "
                 "operation names, member function, count of operations in the path, and how many paths "
                 "that member serves");
    return {cmd, [&options] {
                auto plugin = load_plugin(options);
                if (!plugin) return 1;
                const auto paths = ZorListPaths(plugin->device());
                print_paths(stdout, paths);
                std::set<std::string> members;
                for (const auto &p : paths) members.insert(p.memberName);
                std::printf("%zu paths, %zu member functions\n", paths.size(), members.size());
                return 0;
            }};
}
