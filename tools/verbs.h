// The wren tool's verbs: what each runs once the command line (wren.cpp, the
// only file that sees the command-line parser) has been parsed.
#pragma once

#include "zor_dispatch.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Options shared by every verb.
struct ToolOptions {
    // Where the host finds it: ZOR_PLUGIN_PATH, then zor/plugins beside the host library.
    std::string plugin = ZorFindPlugin("libzorwren.so");
};

// wren paths: prints the path table; kPathsLegend explains its columns.
extern const char *const kPathsLegend;
int print_paths(const ToolOptions &options);

// wren demo: writes screen.png and one PNG per window to out.
int run_demo(const ToolOptions &options, const std::string &out);

// wren run: the options as given.
struct RunOptions {
    std::string path;
    std::vector<std::string> images;
    std::string constants, values, window, output;
    std::vector<std::string> luts, kernels;
    std::string flip, edge;
    int zoom = 0;
    bool output_given = false;
    std::vector<std::string> covers, params;
    std::string scale, offset, clamp, low, high, map;  // rescale, threshold and scaling (--scale) options
    std::string matrix, angle, origin, window_origin;
    std::string translate, filter;
    std::string background;
    int depth = 0;  // 0: 24 for a colour first image, else 8
    int bands = 0;  // 0: as the files have them
    bool trace = false;
};
int run_path(const ToolOptions &options, const RunOptions &ro);

// Loads the plug-in; on failure prints one error line and returns null.
std::unique_ptr<ZorPlugin> load_plugin(const ToolOptions &options);
