// wren: inspect and exercise the Wren compute device through the host library.
#include "verbs.h"

#include <new>

int main(int argc, char **argv) {
    CLI::App app{"wren: inspect and exercise the Wren compute device through the host library"};
    app.set_help_all_flag("--help-all", "Print help for every verb");
    ToolOptions options;
    // The tool's version, and the version of the plug-in it would load.
    app.set_version_flag(
        "--version",
        [&options] {
            std::string v = std::string("wren ") + WREN_VERSION;
            std::string error;
            auto plugin = ZorPlugin::load(options.plugin.c_str(), &error);
            auto version = plugin ? reinterpret_cast<const char *(*)()>(plugin->symbol("wren_version")) : nullptr;
            return v + ", plug-in " + (version ? version() : "not loaded") + " (" + options.plugin + ")";
        },
        "Print the tool's and the plug-in's versions and exit");
    app.add_option("--plugin", options.plugin, "Compute-device plug-in to load")->capture_default_str();
    app.require_subcommand(0, 1);
    app.footer("Examples:\n"
               "  wren paths   # every path below the display operation and what it takes\n"
               "  wren demo --out out   # every path drawn into overlapping windows; PNGs in out/\n"
               "  wren run add8 a.png b.png -o sum.png\n"
               "  wren run --help   # run's options, with more examples");

    const std::vector<Verb> verbs = {
        add_paths_verb(app, options),
        add_demo_verb(app, options),
        add_run_verb(app, options),
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "wren: %s (see wren --help)\n", e.what());
        return 2;
    }
    try {
        for (const Verb &v : verbs)
            if (v.command->parsed()) return v.run();
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "wren: out of memory\n");
        return 1;
    }
    std::fprintf(stderr, "wren: no verb given (see wren --help)\n");
    return 2;
}
