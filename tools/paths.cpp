// wren paths: the device's path table: each path, the member that computes
// it, its operations, whether it computes, what it takes and what it does.
#include "chain.h"
#include "verbs.h"

#include <algorithm>
#include <set>

const char *const kPathsLegend =
    "ops: operations in the chain, the display included. state: draws (its driver computes the path), "
    "not built (its driver is not built yet: every call declines and the host computes the path), "
    "worker (needs a kernel from a thin driver, so a call of its own always declines). takes: the "
    "source images, then the parameters, given with wren run's options (--const, --value, --lut, --flip, "
    "--scale, --low, ...: wren run --help) or --param NAME=v1,v2,... "
    "(numbers, one for every band or one per band, unless marked: (integers), (6 numbers), (1 number), "
    "(1 integer); (2x): given once per operation that uses it, in chain order; *: a kind wren run cannot "
    "build yet)";

int print_paths(const ToolOptions &options) {
    auto plugin = load_plugin(options);
    if (!plugin) return 1;
    const auto rows = tool::path_table(*plugin);
    if (rows.empty()) {
        std::fprintf(stderr, "wren: the device has no path table (wren_path_table)\n");
        return 1;
    }
    std::size_t pw = 4, mw = 6, tw = 5;
    for (const WrenPath &row : rows) {
        pw = std::max(pw, tool::path_name(row).size());
        mw = std::max(mw, std::string(row.member).size());
        tw = std::max(tw, tool::takes(row).size());
    }
    const int ipw = static_cast<int>(pw), imw = static_cast<int>(mw), itw = static_cast<int>(tw);
    std::printf("Paths below %s, in registration order.\n", ZOR_DISPLAY_IO_WREN);
    std::printf("ops: operations in the chain, the display included; wren paths --help explains the columns.\n");
    std::printf(" #  %-*s  %-*s  ops  %-9s  %-*s  summary\n", ipw, "path", imw, "member", "state", itw, "takes");
    int n = 0, states[3] = {0, 0, 0};
    std::set<std::string> members;
    for (const WrenPath &row : rows) {
        std::printf("%2d  %-*s  %-*s  %3d  %-9s  %-*s  %s\n", ++n, ipw, tool::path_name(row).c_str(), imw, row.member,
                    row.count(), tool::state_word(row.state), itw, tool::takes(row).c_str(),
                    row.summary ? row.summary : "");
        if (row.state >= 0 && row.state < 3) ++states[row.state];
        members.insert(row.member);
    }
    std::printf("%d paths: %d draw, %d not built, %d worker(s); %zu member functions\n", n,
                states[WREN_PATH_DRAWS], states[WREN_PATH_NOT_BUILT], states[WREN_PATH_WORKER], members.size());
    return 0;
}
