// Loading compute devices and running operations on them.
#pragma once

#include "zor.h"

#include <string>
#include <vector>

// A compute-device plug-in: a shared library exporting ZorCreateComputeType.
// Unloading deletes the device (withdrawing its functions), then closes the
// library.
class ZorPlugin {
public:
    // Null on failure, with the reason in *error when error is given.
    static std::unique_ptr<ZorPlugin> load(const char *path, std::string *error = nullptr);
    ~ZorPlugin();
    ZorPlugin(const ZorPlugin &) = delete;
    ZorPlugin &operator=(const ZorPlugin &) = delete;

    ZorDeviceComputeType *device() const { return device_; }
    // A symbol of the library, or null.
    void *symbol(const char *name) const;

private:
    ZorPlugin(void *handle, ZorDeviceComputeType *device) : handle_(handle), device_(device) {}
    void *handle_;
    ZorDeviceComputeType *device_;
};

// Plug-ins are looked for in the directories of the environment variable
// ZOR_PLUGIN_PATH (colon-separated), then in the default directory: zor/plugins
// beside the host library itself (lib/zor/plugins of an installed tree, the
// build tree's lib/zor/plugins). ZorFindPlugin gives the path of the file
// `name` ("libzorwren.so") in the first directory that has it, or "" when none
// has; ZorPluginDirectory gives the default directory.
std::string ZorPluginDirectory();
std::string ZorFindPlugin(const char *name);

// One registered path of the operation tree.
struct ZorRegisteredPath {
    std::vector<std::string> names;  // from the base: device-IO name first
    ZorDeviceComputeType *device;
    ZorComputeFunction member;
    std::string memberName;          // the function's name as the library exports it
    int memberPaths;                 // paths registered for this device and member
};

// Every path below base (default: the global tree) that holds a function, in
// registration order; only those of device when device is not null.
std::vector<ZorRegisteredPath> ZorListPaths(const ZorDeviceComputeType *device = nullptr,
                                            const ZorOpTreeNode *base = nullptr);

// The unqualified name of a compute function ("Add8Wren"), read from the symbol
// table of the library defining it, or its address in hex when it has no name.
std::string ZorFunctionName(ZorComputeFunction member);

// What ZorDispatch did.
struct ZorDispatchResult {
    int status = ZOR_FAILURE;   // ZOR_SUCCESS when a device computed the chain
    int count = 0;              // operations of the matched path, 0 when none matched
    int asked = 0;              // functions called (0: no device was asked)
    ZorDeviceComputeType *device = nullptr;  // the device that computed it
    ZorComputeFunction member = nullptr;
};

// Matches the chain display, display->getOp1(), ... against the tree by
// operation name and calls the functions of the longest matching path that has
// any, in registration order, with the display operation and the path length,
// until one computes it. ZOR_FAILURE means the host computes the chain itself
// (also when there is no memory to start the dispatch).
ZorDispatchResult ZorDispatch(ZorOp *display, const ZorOpTreeNode *base = nullptr);
