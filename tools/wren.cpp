// wren: inspect and exercise the Wren compute device through the host library.
// The command line of every verb is defined here, in the one file that
// compiles the command-line parser.
#include "conv_kernels.h"
#include "verbs.h"
#include "window_system.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <new>

namespace {

struct Verb {
    CLI::App *command;
    std::function<int()> run;  // the tool's exit status
};

Verb add_paths_verb(CLI::App &app, const ToolOptions &options) {
    CLI::App *cmd = app.add_subcommand(
        "paths", "Load the device and print its path table in registration order: row, path (the operation "
                 "names below the display operation), member function, ops, state, what the path takes and "
                 "what it does");
    cmd->footer(kPathsLegend);
    return {cmd, [&options] { return print_paths(options); }};
}

Verb add_demo_verb(CLI::App &app, const ToolOptions &options) {
    CLI::App *cmd = app.add_subcommand(
        "demo", "Build a 1280x1024 screen of overlapping 8-bit and 24-bit windows, fill their backgrounds "
                "with the accelerator's rectangle, block and page fills, run every path whose driver draws "
                "into a tile of a window at least half visible (gradients, rings and checkerboards as sources), "
                "labelled with the path's number, print what each driver did (computed, or declined with the "
                "reason; paths not built yet and workers are skipped), and write screen.png and one PNG per "
                "window");
    cmd->footer("Example:\n  wren demo --out out   # then look at out/screen.png beside the table it prints");
    auto out = std::make_shared<std::string>("out");
    cmd->add_option("--out", *out, "Directory for the PNGs, made if missing")->capture_default_str();
    return {cmd, [&options, out] { return run_demo(options, *out); }};
}

Verb add_run_verb(CLI::App &app, const ToolOptions &options) {
    CLI::App *cmd = app.add_subcommand(
        "run", "Run one registered path on PNG images (8-bit grey, RGB or RGBA; alpha is ignored) into a "
               "window at the screen's top-left corner and write the window as a PNG. Grey images and 8-bit "
               "windows have one band, colour images and 24-bit windows three: an image's bands go to the "
               "window's in turn (red, green, blue), so a grey image in a 24-bit window lands in red alone "
               "(--bands 3 repeats it into all three). What a path takes (images, --const, --value, "
               "--param NAME=...) is listed by wren paths. Exits 1, saying why, when the device declines "
               "(the host would then compute the path itself)");
    cmd->footer(
        "Examples (a.png, b.png and icon.png are grey, photo.png is colour):\n"
        "  wren run add8 a.png b.png -o sum.png\n"
        "  wren run addconst8 --const 10,-20,30 photo.png -o tinted.png   # colour: a 24-bit window\n"
        "  wren run setvalue8 --window 64x48 --value 200 --cover 40,30,50,50 -o grey.png\n"
        "  WREN_TRACE=1 wren run not8 a.png --trace\n"
        "  wren run lookup8_8 photo.png --lut gamma:2.2 -o brighter.png\n"
        "  wren run lookup16_8 a.png --lut posterise:4   # a 16-bit image made from the PNG\n"
        "  wren run transpose8 photo.png --flip both -o upside-down.png\n"
        "  wren run lookup8_8/scale8bilinear icon.png --zoom 4 --lut invert -o big.png\n"
        "  wren run rescale8 a.png --scale 1.5 --offset -40 --clamp 20,200   # runs threshold8/threshold8/rescale8\n"
        "  wren run rescale16 a.png --scale 0.0039 --offset 127.5   # a 16-bit image made from the PNG\n"
        "  wren run threshold8 photo.png --low 100 --high 180 --map 0\n"
        "  wren run affine8bilinear photo.png --matrix 0.9,0.3,-0.3,0.9,40,-20 -o warped.png\n"
        "  wren run rotate8bicubic photo.png --angle 30 --origin 128,128 --window-origin 128,128\n"
        "  wren run scale8bicubic photo.png --scale 1.5,2 --translate 10,-4 -o big.png\n"
        "  wren run scale8general photo.png --scale 0.5 --filter lanczos3 -o small.png\n"
        "  wren run convolve8 a.png --kernel sharpen --edge zerofill --background 128 -o sharp.png\n"
        "  wren run convolve8 photo.png --kernel gaussian5x1 --kernel gaussian1x5 -o soft.png\n"
        "  wren run copy8 a.png --bands 3 -o grey.png   # grey as grey in a 24-bit window\n"
        "A parameter used by several operations of a chain is given once per operation, in chain order\n"
        "(here 2 x - 10 capped at 200 by the first threshold and floored at 20 by the second):\n"
        "  wren run threshold8/threshold8/rescale8 -p low=200 -p high=255 -p map=200 \\\n"
        "      -p low=0 -p high=20 -p map=20 -p scale=2 -p offset=-10 a.png");
    auto ro = std::make_shared<RunOptions>();
    cmd->add_option("path", ro->path, "Path below display_ioQORVwren, e.g. add8 (see wren paths)")->required();
    cmd->add_option("images", ro->images, "Source PNG images, as many as the path takes; images of different "
                                          "sizes are computed on their common part (top left)");
    cmd->add_option("--const", ro->constants,
                    "Constants, one for every band or one per band: 10 or 10,20,30. addconst8, subtractconst8 and "
                    "subtractfromconst8 round fractions half to even before use (2.5 adds 2, 3.5 adds 4); "
                    "multiplyconst8 keeps them; the logic paths take integers");
    cmd->add_option("--value", ro->values,
                    "Set values, one for every band or one per band: 128 or 255,0,0 (fractions round half away "
                    "from zero)");
    cmd->add_option("--lut", ro->luts,
                    "Lookup table: invert, gamma:G, posterise:N, threshold:T, file:PATH or the numbers (1 to 256; "
                    "inputs past the end take the last entry); 16-bit sources (made from the PNG over the whole "
                    "signed range) take it spread over that range")
        ->allow_extra_args(false)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    cmd->add_option("--flip", ro->flip, "Flip type of transpose8: vertical (top to bottom), horizontal (left to right) "
                                        "or both (a half turn)")
        ->check(CLI::IsMember({"vertical", "horizontal", "both"}));
    cmd->add_option("--zoom", ro->zoom,
                    "Zoom factor f of the quick zooms (lookup8_8/scale8bilinear, lookup16_8/scale16bilinear), 2 or "
                    "4 both ways: the window is f times the image, of which the zoom writes f (n - 1) + 1 pixels "
                    "each way (the last f - 1 columns and rows keep the background)")
        ->check(CLI::IsMember({2, 4}));
    cmd->add_option("--matrix", ro->matrix,
                    "Affine forward map m0,m1,m2,m3,m4,m5: x' = m0 x + m2 y + m4, y' = m1 x + m3 y + m5 about the "
                    "origins");
    cmd->add_option("--angle", ro->angle, "Rotation about the origins in degrees (x' = x cos + y sin)");
    cmd->add_option("--origin", ro->origin, "Origin X,Y of the first image (pixel coordinates, default 0,0)");
    cmd->add_option("--window-origin", ro->window_origin, "Origin X,Y of the window image (default 0,0)");
    cmd->add_option("--kernel", ro->kernels,
                    std::string("Convolution kernel WxH:v1,...,vn (row-major, keyed at the centre) or a name: ") +
                        tool::kernel_names() +
                        "; convolve8 with two, an N x 1 and a 1 x N, runs the separable chain. A true convolution: "
                        "the kernel is flipped both ways before use (a correlation, as filter2D computes, is not)")
        ->allow_extra_args(false)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    cmd->add_option("--edge", ro->edge,
                    "Convolution edge mode, for the frame of pixels the kernel cannot compute: nowrite (default: "
                    "they keep the window's pixels) or zerofill (they become 0); both convolution paths take "
                    "both. extend (repeat the border) is the host's: the device declines it");
    cmd->add_option("-p,--param", ro->params,
                    "Any parameter of the path by name, NAME=v1,v2,...; may be repeated (e.g. -p low=10 -p high=20)")
        ->allow_extra_args(false)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    cmd->add_option("--offset", ro->offset, "rescale8, rescale16: the offset o of s * x + o");
    cmd->add_option("--clamp", ro->clamp,
                    "rescale8, rescale16: keep the result within LO,HI (made as two thresholds above the rescale; "
                    "rescale16 clamps to 0,255 by default). The device computes a rescale only when both clamp "
                    "points map back to inputs in range: (LO - o) / s and (HI - o) / s within 0..255 (rescale8, "
                    "LO,HI = 0,255 without --clamp) or -32768..32767 (rescale16); the host computes the rest "
                    "(so --scale 0.5 --offset 0 declines: 255 maps back to 510)");
    cmd->add_option("--low", ro->low, "Thresholds: the interval's low end, one for every band or one per band");
    cmd->add_option("--high", ro->high, "Thresholds: the interval's high end, one for every band or one per band");
    cmd->add_option("--map", ro->map, "Thresholds: the value samples within [low, high] become");
    cmd->add_option("--scale", ro->scale,
                    "Scaling paths: the factors SX[,SY] (xscale, yscale; the window is the scaled picture's size "
                    "unless --window is given; scale8bicubic's cubic has a = -0.5, OpenCV's INTER_CUBIC -0.75); "
                    "rescale8, rescale16: the scale s of s * x + o");
    cmd->add_option("--translate", ro->translate,
                    "TX,TY: the source's first pixel lands at window pixel (TX, TY) (its origin is set to -T / scale)");
    cmd->add_option("--filter", ro->filter,
                    "Interpolation tables of scale8general, both directions: lanczos2, lanczos3, lanczos4, box, "
                    "linear, cubic, or file:PATH (taps, subsamples, then the weights phase by phase)");
    cmd->add_option("--window", ro->window,
                    "Window size WxH, at most " + std::to_string(wca::Screen::kMaxWidth) + "x" +
                        std::to_string(wca::Screen::kMaxHeight) +
                        " (default: the images' size, scaled by --scale or --zoom and moved by --translate; "
                        "256x256 without images)");
    cmd->add_option("--depth", ro->depth, "Window depth, 8 or 24 (default: 24 when the first image is colour, else 8)")
        ->check(CLI::IsMember({8, 24}));
    cmd->add_option("--bands", ro->bands,
                    "Make every image this many bands first: 3 repeats a grey image into red, green and blue (grey "
                    "shows as grey in a 24-bit window), 1 makes a colour image grey (0.299 R + 0.587 G + 0.114 B)")
        ->check(CLI::IsMember({1, 3}));
    cmd->add_option("--background", ro->background,
                    "Fill the window first with a value (one, or one per band: 128 or 0,0,255) or a PNG FILE "
                    "(placed at the top left); by default it starts black. Shows what a path leaves unwritten, e.g. "
                    "--edge nowrite against zerofill");
    cmd->add_option("--cover", ro->covers, "A window x,y,w,h above the window; may be repeated")
        ->allow_extra_args(false)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    CLI::Option *output = cmd->add_option("-o,--output", ro->output, "PNG file for the window (default: none written)");
    cmd->add_flag("--trace", ro->trace, "Print the accelerator register accesses of the call");
    return {cmd, [&options, ro, output] {
                ro->output_given = output->count() > 0;
                return run_path(options, *ro);
            }};
}

}  // namespace

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
