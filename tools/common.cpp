#include "verbs.h"

#include <algorithm>

std::unique_ptr<ZorPlugin> load_plugin(const ToolOptions &options) {
    std::string error;
    auto plugin = ZorPlugin::load(options.plugin.c_str(), &error);
    if (!plugin) std::fprintf(stderr, "wren: cannot load the device: %s\n", error.c_str());
    return plugin;
}

static std::string joined(const std::vector<std::string> &names) {
    std::string s;
    for (const std::string &n : names) s += (s.empty() ? "" : "/") + n;
    return s;
}

void print_paths(std::FILE *out, const std::vector<ZorRegisteredPath> &paths,
                 const std::function<std::string(const ZorRegisteredPath &)> &describe) {
    std::size_t path_width = 4, member_width = 6;
    for (const auto &p : paths) {
        path_width = std::max(path_width, joined(p.names).size());
        member_width = std::max(member_width, p.memberName.size());
    }
    const int pw = static_cast<int>(path_width), mw = static_cast<int>(member_width);
    std::fprintf(out, " #  %-*s  %-*s  count  paths%s\n", pw, "path", mw, "member", describe ? "  now" : "");
    int row = 0;
    for (const auto &p : paths) {
        std::fprintf(out, "%2d  %-*s  %-*s  %5zu  %5d", ++row, pw, joined(p.names).c_str(), mw,
                     p.memberName.c_str(), p.names.size(), p.memberPaths);
        if (describe) std::fprintf(out, "  %s", describe(p).c_str());
        std::fputc('\n', out);
    }
}
