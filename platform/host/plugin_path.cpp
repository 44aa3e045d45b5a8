#include "zor_dispatch.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

bool readable(const std::string &path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

}  // namespace

std::string ZorPluginDirectory() {
    try {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void *>(&ZorPluginDirectory), &info) || !info.dli_fname) return "";
        std::string lib = info.dli_fname;
        const std::size_t slash = lib.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : lib.substr(0, slash);
        return dir + "/zor/plugins";
    } catch (...) {
        return "";
    }
}

std::string ZorFindPlugin(const char *name) {
    if (!name || !*name) return "";
    try {
        std::string dirs;
        if (const char *env = std::getenv("ZOR_PLUGIN_PATH")) dirs = env;
        if (!dirs.empty()) dirs += ':';
        dirs += ZorPluginDirectory();
        std::size_t start = 0;
        while (start <= dirs.size()) {
            std::size_t end = dirs.find(':', start);
            if (end == std::string::npos) end = dirs.size();
            const std::string dir = dirs.substr(start, end - start);
            if (!dir.empty() && readable(dir + "/" + name)) return dir + "/" + name;
            start = end + 1;
        }
    } catch (...) {
    }
    return "";
}
