// The adapters and the driver frame: descriptors, staging chunks and the
// window lock on every exit.
#include "adapters.h"
#include "rig.h"

#include <tuple>

namespace {

using rig::Scene;
using rig::Source;

// Memory images and their children: the first pixel, the band mask, line
// bytes and pixel bytes; line bytes and the first pixel's offset are worked
// out in 64 bits: what fits the descriptor's 32-bit fields is described
// exactly, what does not is declined. The storage is never read, so one small
// buffer stands for all.
TEST(Adapters, MemoryImages) {
    static uint8_t mem[64];
    const int64_t max = INT32_MAX;
    const struct {
        const char *what;
        int datatype;
        int32_t stride;      // scanline stride in samples
        uint16_t pixel;      // pixel stride
        unsigned w, h;       // parent size
        unsigned cx, cy, cb, cn;  // child (cn 0: the parent itself)
        bool ok;
        int64_t lb, offset;  // expected line bytes and offset of the first pixel
        int bmask;
    } cases[] = {
        {"bytes, child of bands 0-2", ZOR_BYTE, 160, 4, 40, 30, 5, 7, 0, 3, true, 160, 7 * 160 + 5 * 4, 0xe},
        {"bytes, child of bands 1-3", ZOR_BYTE, 160, 4, 40, 30, 5, 7, 1, 3, true, 160, 7 * 160 + 5 * 4, 0x7},
        {"bytes, child of band 3", ZOR_BYTE, 160, 4, 40, 30, 0, 0, 3, 1, true, 160, 0, 0x1},
        {"shorts, 3 bands", ZOR_SHORT, 60, 3, 20, 10, 0, 0, 0, 0, true, 120, 0, 0x7},
        {"bytes, largest stride", ZOR_BYTE, INT32_MAX, 1, 4, 1, 0, 0, 0, 0, true, max, 0, 1},
        {"shorts, largest stride that fits", ZOR_SHORT, INT32_MAX / 2, 1, 4, 1, 0, 0, 0, 0, true, max - 1, 0, 1},
        {"shorts, one sample more", ZOR_SHORT, INT32_MAX / 2 + 1, 1, 4, 1, 0, 0, 0, 0, false, 0, 0, 0},
        {"shorts, largest stride", ZOR_SHORT, INT32_MAX, 1, 4, 1, 0, 0, 0, 0, false, 0, 0, 0},
        {"bytes, child rows past 2^32", ZOR_BYTE, INT32_MAX, 2, 8, 3, 3, 2, 1, 1, true, max, 2 * max + 3 * 2, 1},
        {"shorts, child rows past 2^32", ZOR_SHORT, INT32_MAX / 2, 4, 8, 3, 1, 2, 3, 1, true, max - 1,
         2 * (max - 1) + 8, 0x1},
        {"shorts, child of the last bands", ZOR_SHORT, 64, 4, 16, 4, 15, 3, 1, 3, true, 128, 3 * 128 + 15 * 8, 0x7},
        {"bytes, largest child offsets", ZOR_BYTE, 65536 * 4, 4, 65536, 65536, 65535, 65535, 0, 4, true, 65536 * 4,
         int64_t{65535} * 65536 * 4 + 65535 * 4, 0xf},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ZorHandle<ZorImage> img(ZorImage::createOver(c.w, c.h, c.pixel, c.datatype, mem, c.stride, c.pixel));
        ASSERT_TRUE(img);
        ZorHandle<ZorImage> child(
            c.cn ? img->createChild(c.cx, c.cy, c.cb, c.w - c.cx, c.h - c.cy, c.cn) : nullptr);
        ASSERT_TRUE(!c.cn || child);
        kl_image k{};
        const int rc = zor2kl_image(c.cn ? child.get() : img.get(), &k);
        if (!c.ok) {
            EXPECT_EQ(rc, ZOR_FAILURE);
            continue;
        }
        ASSERT_EQ(rc, ZOR_SUCCESS);
        const int size = c.datatype == ZOR_SHORT ? 2 : 1;
        EXPECT_EQ(std::make_tuple(k.lb, k.data - mem, k.bmask, k.x, k.y, k.type, k.bands, k.bpp, k.w, k.h, k.fb),
                  std::make_tuple(c.lb, c.offset, c.bmask, 0, 0, size == 2 ? KL_SHORT : KL_BYTE, int(c.pixel),
                                  c.pixel * size, int(c.w - c.cx), int(c.h - c.cy), 0));
    }
    // Windows: the first pixel of the farthest child the host makes, with the
    // most negative and the largest line bytes the record can hold.
    for (int16_t lb : {int16_t(-32768), int16_t(32767)}) {
        ZorDisplayIO rec{};
        rec.depth = 24;
        rec.fbBase = mem;
        rec.fbLineBytes = lb;
        ZorHandle<ZorImage> win(ZorImage::createWindow(65536, 65536, 4, rec));
        ASSERT_TRUE(win);
        ZorHandle<ZorImage> child(win->createChild(65535, 65535, 3, 1, 1, 1));
        kl_image k{};
        ASSERT_EQ(zor2kl_window(child.get(), &k), ZOR_SUCCESS);
        EXPECT_EQ(k.lb, lb);
        EXPECT_EQ(k.data - mem, int64_t{65535} * lb + 65535 * 4);
        EXPECT_EQ(k.bmask, 0x1);
    }
}

// The hostile source: a 16-bit image whose line bytes leave 32 bits,
// as the source of not8 and as the second source of add8, is declined and
// nothing is written.
TEST(Adapters, OversizedStrideDeclinedEndToEnd) {
    static int16_t b[16];
    for (const char *name : {"not8", "add8"}) {
        SCOPED_TRACE(name);
        Scene sc;
        const int id = sc.window(8, 10, 10, 4, 4);
        Source a(4, 1, 1, 3);
        ZorHandle<ZorImage> wide(ZorImage::createOver(4, 1, 1, ZOR_SHORT, b, 0x7fffffff, 1));
        ASSERT_TRUE(wide);
        const bool dyadic = std::string(name) == "add8";
        ZorOp *op = ZorOp::create(name, nullptr, dyadic ? a.img : wide.get(), dyadic ? wide.get() : nullptr);
        const auto [status, o] = rig::draw(sc, sc.image(id), op, {a.img, wide.get()});
        EXPECT_EQ(status, ZOR_FAILURE);
        EXPECT_EQ(o.reason, WREN_NO_SOURCE);
        EXPECT_TRUE(sc.check());
    }
}

// Memory images are not windows, windows are not memory images.
TEST(Adapters, Windows) {
    Scene sc;
    const int id8 = sc.window(8, 10, 20, 50, 40);
    kl_image k;
    Source s(4, 4, 1, 1);
    EXPECT_EQ(zor2kl_window(s.img, &k), ZOR_FAILURE);
    EXPECT_EQ(zor2kl_image(sc.image(id8), &k), ZOR_FAILURE);
    EXPECT_EQ(zor2kl_image(nullptr, &k), ZOR_FAILURE);
}

// One buffer of 8192 bytes (or one row) per call; chunks hold as many rows as fit.
TEST(DriverFrame, StagingChunks) {
    const struct {
        int srcw, w, h;
        long bytes;
        std::vector<int> rows;
    } cases[] = {
        {1000, 1000, 5, 8192, {2, 2, 1}},
        {2100, 1000, 5, 8400, {2, 2, 1}},
        {600, 600, 7, 8192, {3, 3, 1}},
        {100, 100, 40, 8192, {20, 20}},
    };
    for (const auto &c : cases) {
        wsim::MachineOptions o;
        Scene sc(o, 3);
        const int id = sc.window(24, 0, 0, c.w, c.h);
        ZorHandle<ZorImage> dst(sc.image(id)->createChild(0, 0, 1, c.w, c.h, 3));
        Source s(c.srcw, c.h, 3, 11);
        const auto [status, out] = rig::draw(sc, dst.get(), ZorOp::create("not8", nullptr, s.img), {s.img});
        ASSERT_EQ(status, ZOR_SUCCESS) << out.message;
        EXPECT_EQ(out.scratch_allocs, 1);
        EXPECT_EQ(out.scratch_bytes, c.bytes);
        ASSERT_EQ(out.chunks, static_cast<int>(c.rows.size()));
        for (size_t i = 0; i < c.rows.size(); ++i) EXPECT_EQ(out.chunk_rows[i], c.rows[i]);
        auto region = rig::region_of(s.img, dst.get());
        sc.expect(id, dst.get(), region.get(), 0x7,
                  [&](int x, int y, int k) { return 255 - s.px(x, y)[k - 1]; });
        EXPECT_TRUE(sc.check());
    }
}

// A driver of the tests' own: one source of any layout, the footprint
// widened by `radius` (then limited to the source when `limited`), and a
// hook that runs once the visible set is known.
struct Probe {
    int radius = 0;
    bool limited = false;
    bool (*visible)(wren::Ctx &) = nullptr;
};
constexpr wren::Layout any_layout[] = {{0, 0, 0, wren::Masks::any}};
wren::Rect widened(const wren::Ctx &c, const wren::Rect &r, const wren::Placed &src) {
    const Probe &k = c.p<Probe>();
    wren::Rect w{r.x - k.radius, r.y - k.radius, r.w + 2 * k.radius, r.h + 2 * k.radius};
    if (!k.limited) return w;
    const int x0 = std::max(w.x, -src.ox), y0 = std::max(w.y, -src.oy);
    const int x1 = std::min(w.x + w.w, src.k.w - src.ox), y1 = std::min(w.y + w.h, src.k.h - src.oy);
    return {x0, y0, x1 - x0, y1 - y0};
}
const wren::DriverPlan probe{.name = "Probe",
                             .layouts = any_layout,
                             .reads = wren::Reads::mapped,
                             .footprint = widened,
                             .visible = [](wren::Ctx &c) { return !c.p<Probe>().visible || c.p<Probe>().visible(c); },
                             .kernel = [](wren::Job &) {}};

// The exits after the lock release it: a rectangle leaving the second source
// (through a driver), a footprint leaving its source, and a refused raster
// setup (a depth the accelerator has no plane groups for). A footprint the
// driver limits to the source is accepted.
TEST(DriverFrame, ExitsAfterTheLockReleaseIt) {
    Scene sc;
    const int id = sc.window(8, 10, 10, 30, 30);
    Source a(30, 30, 1, 1), narrow(29, 30, 1, 2), low(30, 29, 1, 3);
    rig::Chain c(sc.image(id), ZorOp::create("add8", nullptr, a.img, narrow.img));
    rig::Chain d(sc.image(id), ZorOp::create("add8", nullptr, a.img, low.img));
    rig::Chain copy(sc.image(id), ZorOp::create("copy8", nullptr, a.img));
    rig::prime({sc.image(id), a.img, narrow.img, low.img});
    sc.arm();
    wca_win *h = sc.screen().window(id)->handle();
    const long live = ZorObject::liveCount();
    for (const rig::Chain *k : {&c, &d}) {
        EXPECT_EQ(k->run().status, ZOR_FAILURE);
        EXPECT_EQ(rig::last().reason, WREN_BOUNDS);
    }
    const struct {
        Probe p;
        int reason;
    } cases[] = {
        {{0, false, nullptr}, WREN_OK},
        {{1, false, nullptr}, WREN_BOUNDS},
        {{3, true, nullptr}, WREN_OK},
        {{0, false, [](wren::Ctx &k) { return k.dio->depth = 16, true; }}, WREN_RASTER_SETUP},
    };
    for (const auto &k : cases) {
        const int status = wren::run(probe, copy.display, 2, k.p);
        sc.image(id)->getDeviceInputOutput()->depth = 8;
        EXPECT_EQ(status, k.reason == WREN_OK ? ZOR_SUCCESS : ZOR_FAILURE);
        EXPECT_EQ(rig::last().reason, k.reason) << rig::last().message;
        EXPECT_EQ(h->lock_depth, 0);
    }
    EXPECT_EQ(ZorObject::liveCount(), live);
    EXPECT_TRUE(sc.check());
}

}  // namespace
