#include "verbs.h"

std::unique_ptr<ZorPlugin> load_plugin(const ToolOptions &options) {
    std::string error;
    auto plugin = ZorPlugin::load(options.plugin.c_str(), &error);
    if (!plugin) std::fprintf(stderr, "wren: cannot load the device: %s\n", error.c_str());
    return plugin;
}

