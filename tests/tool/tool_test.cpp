// The wren tool as a user runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int status;
    std::string out;
};

// Runs the tool with args; keeps stdout, or stderr when errors_only.
ToolRun run(const std::string &args, bool errors_only = false) {
    const std::string cmd = std::string(WREN_TOOL_PATH) + " " + args + (errors_only ? " 2>&1 >/dev/null" : " 2>/dev/null");
    ToolRun r{-1, ""};
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::vector<std::string> lines(const std::string &s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

TEST(Tool, PathsListsTheRegistrationTableInOrder) {
    const ToolRun r = run("paths");
    ASSERT_EQ(r.status, 0);
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 44u);  // header, 42 rows, summary
    struct Expect {
        int row;
        const char *path, *member;
        int count, paths;
    } checks[] = {
        {1, "display_ioQORVwren/add8", "Add8Wren", 2, 1},
        {5, "display_ioQORVwren/affine8bicubic", "Affine8Wren", 2, 3},
        {11, "display_ioQORVwren/convolve8/convolve8", "ConvolveSPWren", 3, 1},
        {22, "display_ioQORVwren/lookup8_8/scale8bilinear", "qdx_Scale8Lookup8_8Wren", 3, 1},
        {26, "display_ioQORVwren/threshold8/threshold8/rescale8", "Rescale8Wren", 4, 3},
        {27, "display_ioQORVwren/convert16_8/threshold16/threshold16/rescale16", "Rescale16Wren", 5, 1},
        {34, "display_ioQORVwren/scale8general", "Scale8Wren", 2, 4},
        {42, "display_ioQORVwren/xorconst8", "XorConst8Wren", 2, 1},
    };
    for (const Expect &e : checks) {
        std::istringstream row(l[e.row]);
        int n, count, paths;
        std::string path, member;
        row >> n >> path >> member >> count >> paths;
        EXPECT_EQ(n, e.row);
        EXPECT_EQ(path, e.path);
        EXPECT_EQ(member, e.member);
        EXPECT_EQ(count, e.count);
        EXPECT_EQ(paths, e.paths);
    }
    for (int i = 1; i <= 42; ++i) {
        std::istringstream row(l[i]);
        int n = 0;
        row >> n;
        EXPECT_EQ(n, i);
    }
    EXPECT_EQ(l[43], "42 paths, 33 member functions");
}

TEST(Tool, DemoShowsEveryPath) {
    const ToolRun r = run("demo");
    ASSERT_EQ(r.status, 0);
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 44u);
    EXPECT_EQ(l[0], "device ZorDeviceComputeWren");
    for (std::size_t i = 2; i < l.size(); ++i)
        EXPECT_TRUE(l[i].find(": driver built") != std::string::npos ||
                    l[i].find(": declines, driver not built yet") != std::string::npos)
            << l[i];
}

TEST(Tool, BadUseGivesOneErrorLineAndFails) {
    const char *bad[] = {"--bogus", "", "paths --bogus", "frobnicate", "paths demo", "--plugin /nonexistent.so paths"};
    for (const char *args : bad) {
        SCOPED_TRACE(args);
        const ToolRun r = run(args, true);
        EXPECT_NE(r.status, 0);
        const auto l = lines(r.out);
        ASSERT_EQ(l.size(), 1u) << r.out;
        EXPECT_EQ(l[0].rfind("wren: ", 0), 0u);
    }
}

TEST(Tool, HelpDocumentsEveryVerb) {
    const ToolRun r = run("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("paths"), std::string::npos);
    EXPECT_NE(r.out.find("demo"), std::string::npos);
    EXPECT_NE(r.out.find("--plugin"), std::string::npos);
}

}  // namespace
