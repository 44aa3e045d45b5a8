// Kernel throughput for every implementation this CPU runs, beside the peer a
// user would pick (OpenCV, one thread) and memcpy of the destination's bytes
// (the memory limit), on the same data in one run. Images of 1, 3 and 4
// bands at 1024x1024 and 4096x4096. After the run a table gives Mpix/s and
// each kernel's ratio to the peer and to memcpy.
//
// Arguments are Google Benchmark's, e.g. --benchmark_filter=add_8 to run a
// subset (the table then shows what ran).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "kl.h"
#include "kl_impl.h"
#include "wren_feed.h"

namespace {

struct Shape {
    std::string name;
    int w, h, bands;
};

std::vector<Shape> shapes() {
    std::vector<Shape> s;
    for (int side : {1024, 4096})
        for (int n : {1, 3, 4})
            s.push_back({std::to_string(side) + "x" + std::to_string(side) + "x" + std::to_string(n), side, side, n});
    return s;
}

cv::Mat random_mat(int h, int w, int depth, int ch, uint32_t seed) {
    cv::Mat m(h, w, CV_MAKETYPE(depth, ch));
    std::mt19937 g(seed);
    for (int j = 0; j < h; ++j) {
        unsigned char *p = m.ptr(j);
        for (size_t i = 0; i < m.cols * m.elemSize(); ++i) p[i] = static_cast<unsigned char>(g());
    }
    return m;
}

kl_image desc(const cv::Mat &m) {
    kl_image k;
    std::memset(&k, 0, sizeof k);
    k.type = m.depth() == CV_8U ? KL_BYTE : KL_SHORT;
    k.bands = m.channels();
    k.bmask = (1 << k.bands) - 1;
    k.data = m.data;
    k.lb = static_cast<int>(m.step[0]);
    k.bpp = static_cast<int>(m.elemSize());
    k.w = m.cols;
    k.h = m.rows;
    return k;
}

// Buffers of one shape and sample depth: n-band sources and destination, and
// 1-, 3- and 4-band images for the layout converters.
struct Data {
    cv::Mat a, b, d, a1, d1, a3, d3, a4, d4;
};

// Only the buffers of the shape in use are kept.
Data &data_for(const Shape &s, int depth) {
    static std::string current;
    static std::unique_ptr<Data> p;
    const std::string key = s.name + "/" + std::to_string(depth);
    if (key != current) {
        p.reset();
        p = std::make_unique<Data>();
        p->a = random_mat(s.h, s.w, depth, s.bands, 1);
        p->b = random_mat(s.h, s.w, depth, s.bands, 2);
        p->d = random_mat(s.h, s.w, depth, s.bands, 3);
        p->a1 = random_mat(s.h, s.w, depth, 1, 4);
        p->d1 = random_mat(s.h, s.w, depth, 1, 5);
        p->a3 = random_mat(s.h, s.w, depth, 3, 6);
        p->d3 = random_mat(s.h, s.w, depth, 3, 7);
        p->a4 = random_mat(s.h, s.w, depth, 4, 8);
        p->d4 = random_mat(s.h, s.w, depth, 4, 9);
        current = key;
    }
    return *p;
}

using Kernel = std::function<void(const kl_impl &, Data &)>;
using Peer = std::function<void(Data &)>;

struct Op {
    std::string name, peer;
    int depth;      // CV_8U or CV_16S (CV_16U for the converters)
    unsigned bands;  // bit n set: runs on n-band shapes
    Kernel kernel;
    Peer other;
    int dst_bands;   // bands of the destination written, 0 for the shape's
};

constexpr unsigned kAll = 2 | 8 | 16, kMulti = 8 | 16;

Op two(const char *name, kl_two_fn kl_impl::*fn, int depth, const char *peer, Peer p) {
    return {name, peer, depth, kAll,
            [fn](const kl_impl &t, Data &x) {
                kl_image d = desc(x.d), a = desc(x.a), b = desc(x.b);
                (t.*fn)(15, &d, &a, &b);
            },
            p, 0};
}

const cv::Scalar kK8(17, 40, 99, 3), kK16(1700, -400, 990, 3);

Op constant(const char *name, kl_const_fn kl_impl::*fn, int depth, const char *peer, Peer p) {
    return {name, peer, depth, kAll,
            [fn, depth](const kl_impl &t, Data &x) {
                kl_image d = desc(x.d), a = desc(x.a);
                const cv::Scalar &s = depth == CV_8U ? kK8 : kK16;
                short c[4] = {short(s[0]), short(s[1]), short(s[2]), short(s[3])};
                (t.*fn)(15, &d, &a, c);
            },
            p, 0};
}

std::vector<Op> make_ops() {
    std::vector<Op> ops;
    for (int depth : {CV_8U, CV_16S}) {
        const bool b8 = depth == CV_8U;
        const cv::Scalar k = b8 ? kK8 : kK16;
        auto nm = [b8](const char *base) { return std::string("kl_") + base + (b8 ? "_8" : "_16"); };
#define TWO(base, peer, call) \
    ops.push_back(two(nm(#base).c_str(), b8 ? &kl_impl::base##_8 : &kl_impl::base##_16, depth, peer, call))
        TWO(add, "cv::add", [](Data &x) { cv::add(x.a, x.b, x.d); });
        TWO(sub, "cv::subtract", [](Data &x) { cv::subtract(x.a, x.b, x.d); });
        TWO(mpy, "cv::multiply", [](Data &x) { cv::multiply(x.a, x.b, x.d); });
        TWO(min, "cv::min", [](Data &x) { cv::min(x.a, x.b, x.d); });
        TWO(max, "cv::max", [](Data &x) { cv::max(x.a, x.b, x.d); });
        TWO(and, "cv::bitwise_and", [](Data &x) { cv::bitwise_and(x.a, x.b, x.d); });
        TWO(or, "cv::bitwise_or", [](Data &x) { cv::bitwise_or(x.a, x.b, x.d); });
        TWO(xor, "cv::bitwise_xor", [](Data &x) { cv::bitwise_xor(x.a, x.b, x.d); });
#undef TWO
#define CONSTANT(base, peer, call) \
    ops.push_back(constant(nm(#base).c_str(), b8 ? &kl_impl::base##_8 : &kl_impl::base##_16, depth, peer, call))
        CONSTANT(addk, "cv::add(scalar)", [k](Data &x) { cv::add(x.a, k, x.d); });
        CONSTANT(subk, "cv::subtract(scalar)", [k](Data &x) { cv::subtract(x.a, k, x.d); });
        CONSTANT(ksub, "cv::subtract(scalar,a)", [k](Data &x) { cv::subtract(k, x.a, x.d); });
        CONSTANT(andk, "cv::bitwise_and(scalar)", [k](Data &x) { cv::bitwise_and(x.a, k, x.d); });
        CONSTANT(ork, "cv::bitwise_or(scalar)", [k](Data &x) { cv::bitwise_or(x.a, k, x.d); });
        CONSTANT(xork, "cv::bitwise_xor(scalar)", [k](Data &x) { cv::bitwise_xor(x.a, k, x.d); });
#undef CONSTANT
        const int sb = b8 ? 1 : 2;
        ops.push_back({nm("copy"), "Mat::copyTo", depth, kAll,
                       [sb](const kl_impl &t, Data &x) {
                           kl_image d = desc(x.d), a = desc(x.a);
                           t.gcopy(d.data, d.lb, d.w * d.bands * sb, d.h, a.data, a.lb);
                       },
                       [](Data &x) { x.a.copyTo(x.d); }, 0});
        ops.push_back({nm("copy") + " mask 011(1)", "cv::mixChannels", depth, kMulti,
                       [b8](const kl_impl &t, Data &x) {
                           kl_image d = desc(x.d), a = desc(x.a);
                           const int m = (1 << (d.bands - 1)) - 1;
                           const unsigned pat = (b8 ? kl_masks_8 : kl_masks_16b)[d.bands][m];
                           t.mcopy(pat, d.data, d.lb, d.w * d.bpp, d.h, a.data, a.lb);
                       },
                       [](Data &x) {
                           const int n = x.a.channels();
                           const int from_to[] = {1, 1, 2, 2, 3, 3};
                           cv::mixChannels(&x.a, 1, &x.d, 1, from_to, n - 1);
                       },
                       0});
        ops.push_back({nm("band_extract"), "cv::extractChannel", depth, kMulti,
                       [b8](const kl_impl &t, Data &x) {
                           kl_image d = desc(x.d1), a = desc(x.a);
                           (b8 ? t.band_extract_8 : t.band_extract_16)(1 << (a.bands - 2), &d, &a);
                       },
                       [](Data &x) { cv::extractChannel(x.a, x.d1, 1); }, 1});
        ops.push_back({nm("band_insert"), "cv::insertChannel", depth, kMulti,
                       [b8](const kl_impl &t, Data &x) {
                           kl_image d = desc(x.d), a = desc(x.a1);
                           (b8 ? t.band_insert_8 : t.band_insert_16)(1 << (d.bands - 2), &d, &a);
                       },
                       [](Data &x) { cv::insertChannel(x.a1, x.d, 1); }, 1});
        const int cd = b8 ? CV_8U : CV_16U;  // the colour converter works on unsigned samples
        ops.push_back({b8 ? "kl_copy8_3_4" : "kl_copy16_3_4", "cv::cvtColor BGR2BGRA", cd, 2,
                       [b8](const kl_impl &t, Data &x) {
                           kl_image d = desc(x.d4), a = desc(x.a3);
                           (b8 ? t.copy8_3_4 : t.copy16_3_4)(7, &d, &a);
                       },
                       [](Data &x) { cv::cvtColor(x.a3, x.d4, cv::COLOR_BGR2BGRA); }, 4});
        ops.push_back({b8 ? "kl_copy8_4_3" : "kl_copy16_4_3", "cv::cvtColor BGRA2BGR", cd, 2,
                       [b8](const kl_impl &t, Data &x) {
                           kl_image d = desc(x.d3), a = desc(x.a4);
                           (b8 ? t.copy8_4_3 : t.copy16_4_3)(7, &d, &a);
                       },
                       [](Data &x) { cv::cvtColor(x.a4, x.d3, cv::COLOR_BGRA2BGR); }, 3});
    }
    ops.push_back({"kl_abs_16", "cv::abs", CV_16S, kAll,
                   [](const kl_impl &t, Data &x) {
                       kl_image d = desc(x.d), a = desc(x.a);
                       t.abs_16(15, &d, &a);
                   },
                   [](Data &x) { x.d = cv::abs(x.a); }, 0});
    ops.push_back({"kl_mpyk_8", "cv::multiply(scalar)", CV_8U, kAll,
                   [](const kl_impl &t, Data &x) {
                       kl_image d = desc(x.d), a = desc(x.a);
                       short c[4] = {3 << 8, 2 << 8, 1 << 8, 5 << 8};
                       t.mpyk_8(15, &d, &a, c, 8, 1);
                   },
                   [](Data &x) { cv::multiply(x.a, cv::Scalar(3, 2, 1, 5), x.d); }, 0});
    // Lookups: a single table of 1 or 4 bytes per entry, three per-band
    // tables, and a 16-bit source through 65536 entries.
    static const cv::Mat lut1 = random_mat(1, 256, CV_8U, 1, 20), lut3 = random_mat(1, 256, CV_8U, 3, 21),
                         lut4 = random_mat(1, 256, CV_8U, 4, 22), lut16 = random_mat(1, 65536, CV_8U, 1, 23);
    static std::vector<unsigned char> bands3[3];
    static unsigned char *tabs3[4] = {};
    for (int b = 0; b < 3; ++b) {
        bands3[b].resize(256);
        for (int v = 0; v < 256; ++v) bands3[b][v] = lut3.data[v * 3 + b];
        tabs3[b] = bands3[b].data();
    }
    ops.push_back({"kl_lookup8_8 1 band", "cv::LUT 8UC1", CV_8U, 2,
                   [](const kl_impl &t, Data &x) {
                       kl_image d = desc(x.d), a = desc(x.a);
                       t.lookup8[0](&d, &a, 1, lut1.data);
                   },
                   [](Data &x) { cv::LUT(x.a, lut1, x.d); }, 1});
    ops.push_back({"kl_lookup8_8 1 -> 4 bands", "cv::LUT 8UC4", CV_8U, 16,
                   [](const kl_impl &t, Data &x) {
                       kl_image d = desc(x.d), a = desc(x.a1);
                       t.lookup8[3](&d, &a, 15, lut4.data);
                   },
                   [](Data &x) { cv::LUT(x.a, lut4, x.d); }, 4});
    ops.push_back({"kl_mlookup8_8 3 bands", "cv::LUT 8UC3", CV_8U, 8,
                   [](const kl_impl &t, Data &x) {
                       kl_image d = desc(x.d), a = desc(x.a);
                       t.mlookup8[1](&d, &a, 7, tabs3);
                   },
                   [](Data &x) { cv::LUT(x.a, lut3, x.d); }, 3});
    ops.push_back({"kl_lookup16_8 1 band", "C++ table loop", CV_16S, 2,
                   [](const kl_impl &t, Data &x) {
                       static cv::Mat d8;
                       d8.create(x.a.rows, x.a.cols, CV_8UC1);
                       kl_image d = desc(d8), a = desc(x.a);
                       t.lookup16[0](&d, &a, 1, lut16.data);
                   },
                   [](Data &x) {
                       static cv::Mat d8;
                       d8.create(x.a.rows, x.a.cols, CV_8UC1);
                       const unsigned char *t = lut16.data + 32768;
                       for (int j = 0; j < x.a.rows; ++j) {
                           const int16_t *s = x.a.ptr<int16_t>(j);
                           unsigned char *d = d8.ptr(j);
                           for (int i = 0; i < x.a.cols; ++i) d[i] = t[s[i]];
                       }
                   },
                   1});
    // Flips: the source descriptor starts at the pixel
    // that lands on the destination's first (cv::flip codes 0, 1, -1 are types 0, 1, 5).
    const struct {
        const char *name, *peer;
        int type, code;
    } flips[] = {{"kl_transpose_8 type 0", "cv::flip 0", 0, 0},
                 {"kl_transpose_8 type 1", "cv::flip 1", 1, 1},
                 {"kl_transpose_8 type 5", "cv::flip -1", 5, -1}};
    for (const auto &f : flips) {
        const int type = f.type, code = f.code;
        ops.push_back({f.name, f.peer, CV_8U, kAll,
                       [type](const kl_impl &t, Data &x) {
                           kl_image d = desc(x.d), a = desc(x.a);
                           const int sx = type == 0 ? 0 : a.w - 1, sy = type == 1 ? 0 : a.h - 1;
                           a.data += static_cast<ptrdiff_t>(sy) * a.lb + static_cast<ptrdiff_t>(sx) * a.bpp;
                           t.transpose_8(&d, &a, type, d.bmask);
                       },
                       [code](Data &x) { cv::flip(x.a, x.d, code); }, 0});
    }
    // Quick zooms through a lookup: the top-left 1/f of
    // the source enlarged into the whole destination, beside cv::resize
    // (INTER_LINEAR) followed by cv::LUT. Rates count destination pixels.
    static cv::Mat zoom8, zoom16;
    for (int f : {2, 4}) {
        for (int depth : {CV_8U, CV_16S}) {
            const bool b8 = depth == CV_8U;
            const std::string name = "klqdx_scale" + std::to_string(f) + "x_" + (b8 ? "8_lookup_8_8" : "16_lookup_16_8");
            ops.push_back({name, "cv::resize + LUT", depth, 2,
                           [f, b8](const kl_impl &t, Data &x) {
                               static std::vector<unsigned char> line;
                               cv::Mat &out = b8 ? x.d1 : zoom8;
                               out.create(x.a1.rows, x.a1.cols, CV_8UC1);
                               line.assign(static_cast<size_t>(out.cols) * 16, 0);
                               kl_image d = desc(out), a = desc(x.a1);
                               a.w = (d.w + f - 1) / f + 1;
                               a.h = (d.h + f - 1) / f + 1;
                               // The 16-bit table addressed at the entry of 0.
                               (b8 ? t.zoom8 : t.zoom16)[f == 4](&a, &d, 0, 0, line.data(),
                                                                 b8 ? lut1.data : lut16.data + 32768);
                           },
                           [f, b8](Data &x) {
                               const cv::Mat part = x.a1(cv::Rect(0, 0, x.a1.cols / f, x.a1.rows / f));
                               cv::Mat &out = b8 ? x.d1 : zoom8;
                               if (b8) {
                                   cv::resize(part, zoom8, x.a1.size(), 0, 0, cv::INTER_LINEAR);
                                   cv::LUT(zoom8, lut1, out);
                                   return;
                               }
                               // No 16-bit cv::LUT: the table is applied by a loop, as above.
                               cv::resize(part, zoom16, x.a1.size(), 0, 0, cv::INTER_LINEAR);
                               out.create(x.a1.rows, x.a1.cols, CV_8UC1);
                               const unsigned char *t = lut16.data + 32768;
                               for (int j = 0; j < zoom16.rows; ++j) {
                                   const int16_t *s = zoom16.ptr<int16_t>(j);
                                   unsigned char *d = out.ptr(j);
                                   for (int i = 0; i < zoom16.cols; ++i) d[i] = t[s[i]];
                               }
                           },
                           1});
        }
    }
    // Threshold: an interval of one band against the same
    // operation made of OpenCV calls, and the top clamp (samples >= t become
    // t) against cv::threshold's truncation, which is that operation.
    ops.push_back({"kl_threshold_8 interval", "cv::inRange+copyTo+setTo", CV_8U, 2,
                   [](const kl_impl &t, Data &x) {
                       kl_image d = desc(x.d), a = desc(x.a);
                       const short lo[4] = {60}, hi[4] = {180}, mp[4] = {0};
                       t.threshold_8(1, &d, &a, lo, hi, mp);
                   },
                   [](Data &x) {
                       static cv::Mat mask;
                       cv::inRange(x.a, cv::Scalar(60), cv::Scalar(180), mask);
                       x.a.copyTo(x.d);
                       x.d.setTo(cv::Scalar(0), mask);
                   },
                   0});
    for (int depth : {CV_8U, CV_16S}) {
        const bool b8 = depth == CV_8U;
        const short t = b8 ? 200 : 12000;
        ops.push_back({b8 ? "kl_threshold_8 top" : "kl_threshold_16 top", "cv::threshold TRUNC", depth, kAll,
                       [b8, t](const kl_impl &impl, Data &x) {
                           kl_image d = desc(x.d), a = desc(x.a);
                           const short lo[4] = {t, t, t, t}, mp[4] = {t, t, t, t};
                           const short hi[4] = {short(b8 ? 255 : 32767), short(b8 ? 255 : 32767),
                                                short(b8 ? 255 : 32767), short(b8 ? 255 : 32767)};
                           (b8 ? impl.threshold_8 : impl.threshold_16)(15, &d, &a, lo, hi, mp);
                       },
                       [t](Data &x) { cv::threshold(x.a, x.d, t, 0, cv::THRESH_TRUNC); }, 0});
        // The rescale path's feed loop: a 32-bit word per sample into 8-byte
        // slots of the mapping space (rows 16384 bytes apart), against the
        // same map computed by cv::convertScaleAbs; memcpy of the 4 bytes per
        // pixel it writes.
        ops.push_back({b8 ? "kl_rescale_wren_8 feed" : "kl_rescale_wren_16 feed", "cv::convertScaleAbs", depth, 2,
                       [b8](const kl_impl &, Data &x) {
                           static std::vector<unsigned char> space;
                           const size_t need = static_cast<size_t>(x.a1.rows) * 16384 + static_cast<size_t>(x.a1.cols) * 8;
                           if (space.size() < need) space.assign(need, 0);
                           kl_image d = desc(x.d1), a = desc(x.a1);
                           d.data = space.data();
                           d.lb = 16384;
                           (b8 ? kl_rescale_wren_8 : kl_rescale_wren_16)(&d, &a);
                       },
                       [b8](Data &x) {
                           static cv::Mat d8;
                           cv::convertScaleAbs(x.a1, d8, b8 ? 1.5 : 1.0 / 256, b8 ? -40 : 128);
                       },
                       b8 ? 4 : 2});
    }
    // Affine warps: a rotation by 30 degrees with scale 1.1 about the image centre, 1 band
    // and 3 bands into 4-byte pixels, beside cv::warpAffine with the same
    // inverse map (WARP_INVERSE_MAP, pixel centres at integer coordinates;
    // the kernels' continuous coordinates are half a pixel further, hence
    // tx + 0.5). Pixels mapping outside the source are left alone on both
    // sides.
    const struct {
        const char *name, *peer, *interp;
        int cv_interp;
    } warps[] = {{"kl_affine nearest", "cv::warpAffine nearest", "nearest", cv::INTER_NEAREST},
                 {"kl_affine bilinear", "cv::warpAffine linear", "bilinear", cv::INTER_LINEAR},
                 {"kl_affine bicubic", "cv::warpAffine cubic", "bicubic", cv::INTER_CUBIC}};
    for (const auto &wp : warps) {
        for (int nb : {1, 3}) {
            const std::string interp = wp.interp;
            const int cvi = wp.cv_interp;
            auto inverse = [](const cv::Mat &src) {
                const double th = -30 * CV_PI / 180, k = 1 / 1.1, cx = src.cols / 2.0, cy = src.rows / 2.0;
                cv::Matx23d m(k * std::cos(th), -k * std::sin(th), 0, k * std::sin(th), k * std::cos(th), 0);
                m(0, 2) = cx - m(0, 0) * cx - m(0, 1) * cy;
                m(1, 2) = cy - m(1, 0) * cx - m(1, 1) * cy;
                return m;
            };
            ops.push_back({std::string(wp.name) + (nb == 1 ? " 1" : " 3>4"), wp.peer, CV_8U, 2,
                           [interp, nb, inverse](const kl_impl &t, Data &x) {
                               static void *bl = kl_affine_create_bilinear(), *bc = kl_affine_create_bicubic();
                               static std::vector<int> ro;
                               cv::Mat &src = nb == 1 ? x.a1 : x.a3;
                               kl_image d = desc(nb == 1 ? x.d1 : x.d4), a = desc(src);
                               if (nb == 3) d.bmask = 7;
                               if (ro.size() != static_cast<size_t>(a.h) || (a.h && ro[1] != a.lb)) {
                                   ro.resize(static_cast<size_t>(a.h));
                                   for (int i = 0; i < a.h; ++i) ro[static_cast<size_t>(i)] = i * a.lb;
                               }
                               const cv::Matx23d m = inverse(src);
                               const int kind = interp == "nearest" ? KL_AFFINE_NEAREST
                                                : interp == "bilinear" ? KL_AFFINE_BILINEAR
                                                                       : KL_AFFINE_BICUBIC;
                               t.affine[kind][0][nb == 1 ? KL_AFFINE_1_1 : KL_AFFINE_3_4](
                                   &d, &a, ro.data(), interp == "bilinear" ? bl : bc, float(m(0, 0)), float(m(1, 0)),
                                   float(m(0, 1)), float(m(1, 1)), float(m(0, 2) + 0.5), float(m(1, 2) + 0.5));
                           },
                           [nb, cvi, inverse](Data &x) {
                               cv::Mat &src = nb == 1 ? x.a1 : x.a3, &dst = nb == 1 ? x.d1 : x.d3;
                               cv::warpAffine(src, dst, cv::Mat(inverse(src)), dst.size(), cvi | cv::WARP_INVERSE_MAP,
                                              cv::BORDER_TRANSPARENT);
                           },
                           nb == 1 ? 1 : 4});
        }
    }
    // Convolutions, beside OpenCV's filters with the same
    // coefficients applied as a correlation and the border left out
    // (BORDER_ISOLATED: our kernels leave the r-pixel frame unwritten too).
    // Smoothing coefficients; the separable ones stay in the 16-bit form.
    for (int n = 3; n <= 7; n += 2) {
        static const float taps3[] = {0.25f, 0.5f, 0.25f}, taps5[] = {0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f},
                           taps7[] = {1 / 27.f, 3 / 27.f, 6 / 27.f, 7 / 27.f, 6 / 27.f, 3 / 27.f, 1 / 27.f};
        const float *t = n == 3 ? taps3 : n == 5 ? taps5 : taps7;
        auto k2 = std::make_shared<std::vector<float>>();
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) k2->push_back(t[i] * t[j] * (i == j ? 1.25f : 0.9f));
        auto k1 = std::make_shared<std::vector<float>>(t, t + n);
        const cv::Mat kmat(n, n, CV_32F, k2->data()), kvec(n, 1, CV_32F, k1->data());
        const std::string N = std::to_string(n) + "x" + std::to_string(n);
        ops.push_back({"kl_convolve" + N + "_8", "cv::filter2D", CV_8U, 2 | 8,
                       [k2, n](const kl_impl &t, Data &x) {
                           kl_image d = desc(x.d), a = desc(x.a);
                           // The coefficients as the entry function makes them
                           // (all below 8: shift 12), then the implementation's body.
                           short Q[49];
                           for (int i = 0; i < n * n; ++i) Q[i] = static_cast<short>((*k2)[static_cast<size_t>(i)] * 4096.0f);
                           t.convolve[n / 2 - 1](15, &d, &a, k2->data(), Q, 3);
                       },
                       [kmat](Data &x) { cv::filter2D(x.a, x.d, -1, kmat, cv::Point(-1, -1), 0, cv::BORDER_ISOLATED); },
                       0});
        ops.push_back({"kl_sconvolve" + N + "_8", "cv::sepFilter2D", CV_8U, 2 | 8,
                       [k1, n](const kl_impl &t, Data &x) {
                           kl_image d = desc(x.d), a = desc(x.a);
                           short H[7];  // low precision: x 4096
                           for (int i = 0; i < n; ++i) H[i] = static_cast<short>((*k1)[static_cast<size_t>(i)] * 4096.0f);
                           t.sconvolve[n / 2 - 1](15, &d, &a, H, H, 7, 1);
                       },
                       [kvec](Data &x) {
                           cv::sepFilter2D(x.a, x.d, -1, kvec, kvec, cv::Point(-1, -1), 0, cv::BORDER_ISOLATED);
                       },
                       0});
    }
    return ops;
}

// Mpix/s of every run, keyed by "op|shape|who".
std::map<std::string, double> g_rate;

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) g_rate[r.run_name.function_name] = it->second.value / 1e6;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string key(const std::string &op, const Shape &s, const std::string &who) { return op + "|" + s.name + "|" + who; }

const char *const kImpls[] = {"portable", "avx2", "avx512"};

}  // namespace

int main(int argc, char **argv) {
    cv::setNumThreads(1);
    static const std::vector<Op> ops = make_ops();
    static const std::vector<Shape> all = shapes();
    // Shape-major, so that each shape's buffers are made once.
    for (const Shape &s : all) {
        for (const Op &op : ops) {
            if (!((op.bands >> s.bands) & 1)) continue;
            const Shape *sp = &s;
            const int depth = op.depth;
            auto reg = [&](const std::string &who, std::function<void(Data &)> fn) {
                benchmark::RegisterBenchmark(key(op.name, s, who).c_str(),
                                             [sp, fn, depth](benchmark::State &st) {
                                                 Data &x = data_for(*sp, depth);
                                                 for (auto _ : st) {
                                                     fn(x);
                                                     benchmark::ClobberMemory();
                                                 }
                                                 st.SetItemsProcessed(st.iterations() * sp->w * static_cast<int64_t>(sp->h));
                                             })
                    ->Unit(benchmark::kMicrosecond)
                    ->MinTime(0.05);
            };
            for (const char *impl : kImpls) {
                const kl_impl *t = kl_impl_find(impl);
                if (!t) continue;
                const Kernel k = op.kernel;
                reg(impl, [t, k](Data &x) { k(*t, x); });
            }
            reg("peer", op.other);
            const int n = op.dst_bands ? op.dst_bands : s.bands;
            const size_t bytes = static_cast<size_t>(s.w) * s.h * n * (depth == CV_8U ? 1 : 2);
            // The destination's bytes, between two buffers of the shape.
            reg("memcpy", [bytes](Data &x) { std::memcpy(x.d4.data, x.a4.data, bytes); });
        }
    }
    benchmark::Initialize(&argc, argv);
    CollectingReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);

    std::printf("\n%-24s %-13s %-8s %9s %9s %9s %8s %8s  %s\n", "kernel", "image", "impl", "Mpix/s", "peer", "memcpy",
                "vs peer", "vs mcpy", "peer");
    for (const Shape &s : all) {
        for (const Op &op : ops) {
            for (const char *impl : kImpls) {
                auto k = g_rate.find(key(op.name, s, impl));
                if (k == g_rate.end()) continue;
                const double p = g_rate[key(op.name, s, "peer")], m = g_rate[key(op.name, s, "memcpy")];
                std::printf("%-24s %-13s %-8s %9.0f %9.0f %9.0f %8.2f %8.2f  %s\n", op.name.c_str(), s.name.c_str(), impl,
                            k->second, p, m, p > 0 ? k->second / p : 0.0, m > 0 ? k->second / m : 0.0, op.peer.c_str());
            }
        }
    }
    benchmark::Shutdown();
    return 0;
}
