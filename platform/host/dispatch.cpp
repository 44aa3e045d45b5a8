#include "zor_dispatch.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

// ---- Plug-ins -------------------------------------------------------------------

std::unique_ptr<ZorPlugin> ZorPlugin::load(const char *path, std::string *error) {
    auto fail = [error](std::string why) {
        if (error) *error = std::move(why);
        return nullptr;
    };
    if (!path) return fail("no plug-in path given");
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        return fail(why ? why : "cannot load plug-in");
    }
    using Entry = ZorDeviceComputeType *(*)();
    auto entry = reinterpret_cast<Entry>(dlsym(handle, "ZorCreateComputeType"));
    if (!entry) {
        dlclose(handle);
        return fail(std::string(path) + ": no ZorCreateComputeType");
    }
    ZorDeviceComputeType *device = entry();
    if (!device) {
        dlclose(handle);
        return fail(std::string(path) + ": the device did not start");
    }
    return std::unique_ptr<ZorPlugin>(new ZorPlugin(handle, device));
}

ZorPlugin::~ZorPlugin() {
    delete device_;
    dlclose(handle_);
}

void *ZorPlugin::symbol(const char *name) const { return name ? dlsym(handle_, name) : nullptr; }

// ---- Paths ----------------------------------------------------------------------

std::string ZorFunctionName(ZorComputeFunction member) {
    // A pointer to a non-virtual member function holds the function's address
    // and a this-adjustment; an odd first word marks a virtual function.
    struct Raw {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } raw{};
    static_assert(sizeof(Raw) == sizeof(ZorComputeFunction));
    std::memcpy(&raw, &member, sizeof raw);
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%jx", static_cast<std::uintmax_t>(raw.ptr));
    Dl_info info{};
    if (raw.ptr & 1 || !dladdr(reinterpret_cast<void *>(raw.ptr), &info) || !info.dli_sname ||
        info.dli_saddr != reinterpret_cast<void *>(raw.ptr))
        return hex;
    int status = 0;
    char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : info.dli_sname;
    std::free(demangled);
    // "Class::Member(ZorOp*, int)" -> "Member"
    if (auto paren = name.find('('); paren != std::string::npos) name.erase(paren);
    if (auto colon = name.rfind("::"); colon != std::string::npos) name.erase(0, colon + 2);
    return name;
}

namespace {

struct Found {
    std::uint64_t order;
    ZorRegisteredPath path;
};

void collect(const ZorOpTreeNode *node, const ZorDeviceComputeType *device, std::vector<std::string> &names,
             std::vector<Found> &out) {
    names.push_back(node->name());
    for (const auto &f : node->functions())
        if (!device || f.device == device)
            out.push_back({f.order, {{names.begin() + 1, names.end()}, f.device, f.member, "", 0}});
    for (const auto &c : node->children()) collect(c.get(), device, names, out);
    names.pop_back();
}

}  // namespace

std::vector<ZorRegisteredPath> ZorListPaths(const ZorDeviceComputeType *device, const ZorOpTreeNode *base) {
    if (!base) base = zor_global_state->getOpTreeBase();
    std::vector<Found> found;
    std::vector<std::string> names;
    collect(base, device, names, found);
    std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) { return a.order < b.order; });

    std::map<std::pair<const ZorDeviceComputeType *, std::string>, int> per_member;
    std::vector<ZorRegisteredPath> paths;
    for (Found &f : found) {
        f.path.memberName = ZorFunctionName(f.path.member);
        ++per_member[{f.path.device, f.path.memberName}];
        paths.push_back(std::move(f.path));
    }
    for (ZorRegisteredPath &p : paths) p.memberPaths = per_member[{p.device, p.memberName}];
    return paths;
}

// ---- Dispatch -------------------------------------------------------------------

ZorDispatchResult ZorDispatch(ZorOp *display, const ZorOpTreeNode *base) {
    if (!base) base = zor_global_state->getOpTreeBase();
    const ZorOpTreeNode *best = nullptr;
    int best_count = 0, count = 0;
    const ZorOpTreeNode *node = base;
    for (const ZorOp *op = display; op && node; op = op->getOp1()) {
        node = node->child(op->getName());
        ++count;
        if (node && !node->functions().empty()) {
            best = node;
            best_count = count;
        }
    }
    ZorDispatchResult result;
    if (!best) return result;
    result.count = best_count;
    // Copied: a function may register or withdraw functions while it runs.
    // Without memory for the copy no device is asked: the host computes the
    // chain itself, as after any refusal.
    std::vector<ZorOpTreeNode::Function> functions;
    try {
        functions = best->functions();
    } catch (...) {
        return result;
    }
    for (const auto &f : functions) {
        ++result.asked;
        if ((f.device->*f.member)(display, best_count) == ZOR_SUCCESS) {
            result.status = ZOR_SUCCESS;
            result.device = f.device;
            result.member = f.member;
            break;
        }
    }
    return result;
}
