// Bad input to the stand-ins (host, window system, accelerator, snapshots) is
// refused with a clear answer, never a crash or an exception, and changes
// nothing: null or a failure status from the host (no object left behind), a
// message from the window system and the snapshots, a fault from the accelerator.
#include "machine.h"
#include "snapshot.h"
#include "wca.h"
#include "zor.h"
#include "wren_fill.h"
#include "wren_regs.h"
#include "zor_dispatch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace wren_reg;
using Answer = std::optional<std::string>;  // the refusal's message; none when the call was taken

template <class T>
Answer null(T *made) {
    if (!made) return "";
    made->destroy();
    return std::nullopt;
}
Answer failed(int status) { return status == ZOR_FAILURE ? Answer("") : std::nullopt; }
// The plug-in loader's message for path; none when it loaded or said nothing.
Answer load_error(const char *path) {
    std::string e;
    return ZorPlugin::load(path, &e) || e.empty() ? std::nullopt : Answer(e);
}

class Device : public ZorDeviceComputeType {
public:
    Device() : ZorDeviceComputeType("Test") {}
    int Fn(ZorOp *, int) { return ZOR_SUCCESS; }
};

// The accelerator of a small machine: the faults an access stream gave, and
// whether the frame buffers still hold their zeros.
struct Sim {
    wsim::Machine m{{.width = 16, .height = 8}};
    Answer run(const std::function<void(void *)> &f) {
        wren_bus_attach(m.accel().bus());
        f(m.accel().registerBase());
        wren_bus_attach(nullptr);
        if (m.accel().faults().empty()) return std::nullopt;
        std::string all;
        for (const std::string &s : m.accel().faults()) all += s + "; ";
        return all;
    }
};

TEST(StandIns, BadInputIsRefusedWithAClearAnswer) {
    wca::Screen s(100, 100);
    const int w = s.createWindow(8, 0, 0, 10, 10);
    auto screen = [&](bool ok) { return ok ? std::nullopt : Answer(s.lastError()); };
    auto size = [](int w, int h) -> Answer {
        try {
            wca::Screen(w, h);
        } catch (const std::invalid_argument &e) {
            return e.what();
        }
        return std::nullopt;
    };
    char tmpl[] = "/tmp/wren_bad_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, nowhere = dir + "/no/such/dir/w.png";
    auto snap = [](bool ok, const std::string &err) { return ok ? std::nullopt : Answer(err); };
    std::string err;
    ZorHandle<ZorRoi> roi(ZorRoi::create(0, 0, 10, 10));
    const ZorRect huge{ZOR_COORD_LIMIT - 1, 0, 10, 10};
    ZorHandle<ZorImage> img(ZorImage::create(10, 10, 3, ZOR_BYTE));
    std::uint8_t px[4] = {}, buf[64];
    const unsigned entries[] = {256, 256}, zero[] = {256, 0}, many[] = {65537, 1};
    const int offsets[] = {0, 0}, far[] = {0, 32768};
    const float inf[1] = {INFINITY}, bad_weights[2] = {1.0f, INFINITY};
    ZorOpTreeNode tree;
    Device dev;
    ZorOpTreeNode *node = tree.branch("d");
    node->addFunction(&dev, static_cast<ZorComputeFunction>(&Device::Fn));
    ZorHandle<ZorOp> op(ZorOp::create("add8", nullptr));
    float values[1] = {1};
    op->setPtrParam(1, values);
    const struct {
        const char *what;
        std::function<Answer()> answer;
        const char *says;
    } rows[] = {
        {"screen 0x10", [&] { return size(0, 10); }, "screen size 0x10 outside 1x1 to"},
        {"screen 2049 wide", [&] { return size(2049, 10); }, "outside 1x1 to"},
        {"screen -1 high", [&] { return size(10, -1); }, "outside 1x1 to"},
        {"window depth 16", [&] { return screen(s.createWindow(16, 0, 0, 10, 10)); }, "window depth 16 is not 8 or 24"},
        {"window 0 wide", [&] { return screen(s.createWindow(8, 0, 0, 0, 10)); }, "outside 1x1 to 32767x32767"},
        {"window -3 high", [&] { return screen(s.createWindow(24, 0, 0, 10, -3)); }, "window size 10x-3"},
        {"window 40000 wide", [&] { return screen(s.createWindow(8, 0, 0, 40000, 10)); }, "window size 40000x10"},
        {"window far out", [&] { return screen(s.createWindow(8, 1 << 29, 0, 10, 10)); }, "out of range"},
        {"move unknown", [&] { return screen(s.moveWindow(42, 0, 0)); }, "unknown window 42"},
        {"resize unknown", [&] { return screen(s.resizeWindow(42, 1, 1)); }, "unknown window 42"},
        {"raise unknown", [&] { return screen(s.raiseWindow(42)); }, "unknown window 42"},
        {"lower unknown", [&] { return screen(s.lowerWindow(42)); }, "unknown window 42"},
        {"destroy unknown", [&] { return screen(s.destroyWindow(42)); }, "unknown window 42"},
        {"image of unknown", [&] { return screen(s.windowImage(42)); }, "unknown window 42"},
        {"resize to 0x5", [&] { return screen(s.resizeWindow(w, 0, 5)); }, "window size 0x5"},
        {"move far out", [&] { return screen(s.moveWindow(w, -(1 << 29), 0)); }, "out of range"},
        {"destroy locked",
         [&] {
             wca_win_lock(s.window(w)->handle());
             const Answer a = screen(s.destroyWindow(w));
             wca_win_unlock(s.window(w)->handle());
             return a;
         },
         "is locked"},
        {"lock null", [] { return wca_win_lock(nullptr) == WCA_ERROR ? Answer("") : std::nullopt; }, ""},
        {"unlock null", [] { return wca_win_unlock(nullptr) == WCA_ERROR ? Answer("") : std::nullopt; }, ""},
        {"clip of null", [] { return wca_win_clipinfo(nullptr) ? std::nullopt : Answer(""); }, ""},
        {"bbox of null",
         [] {
             int x = 11, y = 12, w = 13, h = 14;
             const bool same = wca_win_bbox(nullptr, &x, &y, &w, &h) == WCA_ERROR && x == 11 && y == 12 && w == 13 && h == 14;
             return same ? Answer("") : std::nullopt;
         },
         ""},
        {"register nowhere", [] { return Sim().run([](void *b) { wren_reg_write(b, 0x4000004, 1); }); }, "store to unknown register offset 0x4000004"},
        {"another base",
         [] {
             int other = 0;
             Sim sim;
             void *volatile foreign = &other;
             const Answer a = sim.run([&](void *) { wren_reg_write(foreign, fill_color, 1); });
             return other == 0 && sim.m.accel().reg(fill_color) == 0 ? a : std::nullopt;
         },
         "not this accelerator's"},
        {"fill off the screen",
         [] {
             Sim sim;
             const Answer a = sim.run([](void *b) {
                 long credit = 100;
                 wren_reg_write(b, group_control, wren_val::group_fill8);
                 wren_reg_write(b, raster_op, wren_val::rop_copy);
                 wren_reg_write(b, fill_color, 0xab);
                 rectangle_fill(b, &credit, -5, 2, 8, 1);  // 3 pixels on the screen
                 rectangle_fill(b, &credit, 10, 6, 8, 1);  // 6
             });
             int drawn = 0;
             for (int y = 0; y < 8; ++y)
                 for (int x = 0; x < wren_fb::line_bytes8; ++x)
                     if (sim.m.screen().frameBuffer8()[y * wren_fb::line_bytes8 + x] == 0xab)
                         drawn += (y == 2 && x < 3) || (y == 6 && x >= 10 && x < 16) ? 1 : 100;
             return drawn == 9 ? a : std::nullopt;
         },
         "fill reaches outside the screen; clipped"},
        {"samples without the mapping mode",
         [] {
             Sim sim;
             const int id = sim.m.screen().createWindow(8, 0, 0, 16, 8);
             wca::Window *win = sim.m.screen().window(id);
             wca_win_lock(win->handle());
             const Answer a = sim.run([&](void *b) {
                 wren_setup(static_cast<unsigned long *>(b), 1, 0xff, wren_val::rop_copy);
                 const uint32_t word = 200u << 20;
                 std::memcpy(sim.m.accel().mapSpace() + 3 * wren_fb::map_line_bytes + 3 * 8, &word, 4);
                 wca_win_unlock(win->handle());
             });
             return win->frameBuffer()[3 * wren_fb::line_bytes8 + 3] == 0 ? a : std::nullopt;
         },
         "without the mapping raster mode"},
        {"snapshot into no directory", [&] { return snap(wsim::snapshotWindow(s, w, nowhere, &err), err); }, nowhere.c_str()},
        {"screen into no directory", [&] { return snap(wsim::snapshotScreen(s, nowhere, &err), err); }, "no/such/dir"},
        {"frame buffer into no directory", [&] { return snap(wsim::snapshotFrameBuffer(s, 24, nowhere, nullptr), ""); }, ""},
        {"frame buffer of depth 16", [&] { return snap(wsim::snapshotFrameBuffer(s, 16, dir + "/f.png", &err), err); }, "depth 16"},
        {"snapshot of unknown",
         [&] {
             const bool ok = wsim::snapshotWindow(s, w + 100, dir + "/x.png", &err);
             return access((dir + "/x.png").c_str(), F_OK) == 0 ? std::nullopt : snap(ok, err);
         },
         "unknown window"},
        {"PNG 0 wide", [&] { return snap(wsim::writePng(dir + "/y.png", 0, 1, 1, px, 1, &err), err); }, ""},
        {"PNG stride too small", [&] { return snap(wsim::writePng(dir + "/y.png", 4, 1, 3, px, 4, &err), err); }, ""},
        {"PNG of no pixels", [&] { return snap(wsim::writePng(dir + "/y.png", 1, 1, 1, nullptr, 1, &err), err); }, ""},
        {"PNG on a full device",
         [&] {
             std::vector<std::uint8_t> big(256 * 256 * 3, 7);
             if (access("/dev/full", W_OK) != 0) return Answer("");
             return snap(wsim::writePng("/dev/full", 256, 256, 3, big.data(), 768, &err), err);
         },
         ""},
        {"image 0 wide", [] { return null(ZorImage::create(0, 4, 1, ZOR_BYTE)); }, ""},
        {"image of 5 bands", [] { return null(ZorImage::create(4, 4, 5, ZOR_BYTE)); }, ""},
        {"image of type 3", [] { return null(ZorImage::create(4, 4, 1, 3)); }, ""},
        {"image too big", [] { return null(ZorImage::create(ZorImage::kMaxSide, ZorImage::kMaxSide, 4, ZOR_SHORT)); }, ""},
        {"image over too short rows", [&] { return null(ZorImage::createOver(4, 4, 2, ZOR_BYTE, buf, 7, 2)); }, ""},
        {"child past the right", [&] { return null(img->createChild(5, 0, 0, 6, 1, 1)); }, ""},
        {"child past the bands", [&] { return null(img->createChild(0, 0, 2, 1, 1, 2)); }, ""},
        {"child 0 wide", [&] { return null(img->createChild(0, 0, 0, 0, 1, 1)); }, ""},
        {"child at ~0", [&] { return null(img->createChild(~0u, 0, 0, 2, 1, 1)); }, ""},
        {"origin NaN", [&] { return failed(img->setOrigin(NAN, 0)); }, ""},
        {"destroying an image's own region",
         [&] {
             ZorSystemState::clearErrors();
             img->setRoi(roi.get());
             img->getRoi()->destroy();
             const bool kept = img->getRoi() && img->getRoi()->equals(roi.get());
             img->setRoi(nullptr);
             return kept && ZorSystemState::errors().size() == 1 ? Answer(ZorSystemState::errors()[0].id) : std::nullopt;
         },
         "ho-1"},
        {"intersect null", [&] { return null(roi->intersect(nullptr)); }, ""},
        {"clip list null", [&] { return null(roi->intersectClipList(nullptr, 0, 0)); }, ""},
        {"flip type 2", [&] { return null(roi->flip(2, 0, 0)); }, ""},
        {"scale NaN", [&] { return null(roi->scale(NAN, 1, 0, 0)); }, ""},
        {"scale 1e10", [&] { return null(roi->scale(1e10, 1, 0, 0)); }, ""},
        {"translate to the limit", [&] { return null(roi->translate(ZOR_COORD_LIMIT, 0)); }, ""},
        {"region at the limit", [&] { return null(ZorRoi::create(&huge, 1)); }, ""},
        {"clip list at the limit", [&] { return null(ZorClipList::create(&huge, 1)); }, ""},
        {"region of no rectangles", [] { return null(ZorRoi::create(nullptr, 2)); }, ""},
        {"region list without a destination",
         [&] {
             ZorRoi *r = roi.get();
             return ZoriGetRoiList(&r, nullptr, img.get(), nullptr, nullptr) == ZOR_FAILURE && !r ? Answer("") : std::nullopt;
         },
         ""},
        {"lookup of 0 bands", [] { return null(ZorLookup::create(0, 0, 256, nullptr)); }, ""},
        {"lookup of 5 bands", [] { return null(ZorLookup::create(5, 0, 256, nullptr)); }, ""},
        {"lookup of 0 entries", [] { return null(ZorLookup::create(1, 0, 0, nullptr)); }, ""},
        {"lookup of 65537 entries", [] { return null(ZorLookup::create(1, 0, 65537, nullptr)); }, ""},
        {"lookup offset -32769", [] { return null(ZorLookup::create(1, -32769, 10, nullptr)); }, ""},
        {"lookup offset 32768", [] { return null(ZorLookup::create(1, 32768, 10, nullptr)); }, ""},
        {"combined, 0 bands", [&] { return null(ZorLookup::createCombined(0, entries, offsets, nullptr)); }, ""},
        {"combined, no counts", [&] { return null(ZorLookup::createCombined(2, nullptr, offsets, nullptr)); }, ""},
        {"combined, no offsets", [&] { return null(ZorLookup::createCombined(2, entries, nullptr, nullptr)); }, ""},
        {"combined, a table of 0", [&] { return null(ZorLookup::createCombined(2, zero, offsets, nullptr)); }, ""},
        {"combined, a table too long", [&] { return null(ZorLookup::createCombined(2, many, offsets, nullptr)); }, ""},
        {"combined, offset out of range", [&] { return null(ZorLookup::createCombined(2, entries, far, nullptr)); }, ""},
        {"kernel 0 wide", [] { return null(ZorKernel::create(0, 3, nullptr, 0, 0)); }, ""},
        {"kernel 0 high", [] { return null(ZorKernel::create(3, 0, nullptr, 0, 0)); }, ""},
        {"kernel 257 wide", [] { return null(ZorKernel::create(257, 1, nullptr, 0, 0)); }, ""},
        {"kernel key past the right", [] { return null(ZorKernel::create(3, 3, nullptr, 3, 0)); }, ""},
        {"kernel key above", [] { return null(ZorKernel::create(3, 3, nullptr, 0, -1)); }, ""},
        {"kernel of infinity", [&] { return null(ZorKernel::create(1, 1, inf, 0, 0)); }, ""},
        {"table weight infinite", [&] { return null(ZorInterpolationTable::create(2, 1, bad_weights)); }, ""},
        {"table of 0 taps", [] { return null(ZorInterpolationTable::create(0, 4, nullptr)); }, ""},
        {"table of 65 taps", [] { return null(ZorInterpolationTable::create(65, 4, nullptr)); }, ""},
        {"table of 0 phases", [] { return null(ZorInterpolationTable::create(2, 0, nullptr)); }, ""},
        {"table of 65537 phases", [] { return null(ZorInterpolationTable::create(2, 65537, nullptr)); }, ""},
        {"operation nope", [] { return null(ZorOp::create("nope", nullptr)); }, ""},
        {"operation numbers", [] {
             const bool none = ZorLookupOpNumber("add") == -1 && ZorLookupOpNumber("add88") == -1 &&
                               ZorLookupOpNumber(nullptr) == -1 && ZorOpName(0) == nullptr;
             return none ? Answer("") : std::nullopt;
         }, ""},
        {"a parameter of another kind or none",
         [&] { return !op->getLongParam(1) && !op->getFloatParam(1) && !op->getObjParam(1) && !op->getPtrParam(9) ? Answer("") : std::nullopt; },
         ""},
        {"branch without a name", [&] { return tree.branch("") || tree.branch(nullptr) ? std::nullopt : Answer(""); }, ""},
        {"function twice", [&] { return failed(node->addFunction(&dev, static_cast<ZorComputeFunction>(&Device::Fn))); }, ""},
        {"function of no device", [&] { return failed(node->addFunction(nullptr, static_cast<ZorComputeFunction>(&Device::Fn))); }, ""},
        {"device without a function", [&] { return failed(node->addFunction(&dev, nullptr)); }, ""},
        {"dispatch of nothing", [&] { return ZorDispatch(nullptr, &tree).count == 0 ? Answer("") : std::nullopt; }, ""},
        {"plug-in missing", [] { return load_error("/nonexistent/plugin.so"); }, "/nonexistent/plugin.so"},
        {"plug-in of no name", [] { return load_error(nullptr); }, ""},
    };
    wca_win_lock(s.window(w)->handle());  // the window keeps its clip list from now on
    wca_win_unlock(s.window(w)->handle());
    const long live = ZorObject::liveCount();
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        const unsigned long changes = s.changeCount();
        Answer a;
        EXPECT_NO_THROW(a = r.answer());
        ASSERT_TRUE(a) << "taken";
        EXPECT_NE(a->find(r.says), std::string::npos) << *a;
        EXPECT_EQ(ZorObject::liveCount(), live) << "objects made or lost";
        EXPECT_EQ(s.changeCount(), changes);
    }
    EXPECT_EQ(std::make_tuple(s.stack().size(), s.window(w)->width(), s.window(w)->x()), std::make_tuple(1u, 10, 0));
    EXPECT_EQ(ZorListPaths(nullptr, &tree).size(), 1u);
    EXPECT_EQ(access((dir + "/f.png").c_str(), F_OK), -1);
    rmdir(tmpl);
}

// One table names every register; the simulator faults on exactly the
// accesses its access column forbids, naming the register.
TEST(StandIns, RegisterTableDecidesWhatAnAccessIs) {
    for (const wren_register_info &r : wren_registers) {
        EXPECT_LT(r.offset, span) << r.name;
        EXPECT_EQ(wren_register_find(r.offset), &r);  // also: no offset twice
        Sim sim;
        const Answer a = sim.run([&](void *b) {
            (void)wren_reg_read(b, r.offset);
            wren_reg_write(b, r.offset, 0);
        });
        std::ostringstream named;
        named << " register " << r.name << " (0x" << std::hex << r.offset << "); ";
        const std::string f = a.value_or("");
        EXPECT_EQ(f.find("load of write-only" + named.str()) != std::string::npos, r.access == wren_access::write_only) << f;
        EXPECT_EQ(f.find("store to read-only" + named.str()) != std::string::npos, r.access == wren_access::read_only) << f;
    }
#define EXPECT_ROW(id, off, acc) EXPECT_STREQ(wren_register_find(wren_reg::id)->name, #id);
    WREN_REGISTERS(EXPECT_ROW)
#undef EXPECT_ROW
}

}  // namespace
