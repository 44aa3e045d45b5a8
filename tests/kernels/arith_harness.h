// Differential runs of the arithmetic kernels against the scalar models:
// sources in guard-page buffers, the destination inside canaries, and the
// whole destination buffer compared with the model's expectation.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kbuf.h"
#include "kl.h"

namespace arith_test {

// kernel(band_mask, dst, src1, src2) and the model with the same arguments,
// dst pointed at the expected buffer; src2 is null for one-source kernels.
using Call = std::function<void(int, kl_image *, kl_image *, kl_image *)>;

struct Geometry {
    int type = KL_BYTE;
    int bands = 1;
    int src_bands[2] = {1, 1};
    int w = 1, h = 1;
    int dst_align = 0;     // destination first byte mod 64
    int dst_gap = 0;       // canary bytes between destination rows
    int src_skew[2] = {0, 0};  // bytes skipped before each source image
    int src_gap[2] = {0, 0};   // extra bytes between source rows
    int bmask[3] = {15, 15, 15};  // dst, src1, src2
    int band_mask = 15;
    kbuf::Guard guard[2] = {kbuf::Guard::After, kbuf::Guard::After};
    bool heap[2] = {false, false};  // exact-size heap buffer instead (checked by ASan)
    uint32_t seed = 1;

    std::string str() const {
        std::ostringstream s;
        s << "type " << type << " bands " << bands << " (src " << src_bands[0] << "," << src_bands[1] << ") w " << w
          << " h " << h << " dst_align " << dst_align << " gap " << dst_gap << " skew " << src_skew[0] << ","
          << src_skew[1] << " sgap " << src_gap[0] << "," << src_gap[1] << " bmask " << bmask[0] << "," << bmask[1]
          << "," << bmask[2] << " band_mask " << band_mask << " guard " << int(guard[0]) << int(guard[1]) << " heap " << heap[0] << heap[1]
          << " seed " << seed;
        return s.str();
    }
};

// A source image inside a guard buffer, starting skew bytes into it, so that
// its last row ends against the guard page (Guard::After) or its first row
// starts right after it (Guard::Before, skew ignored). A guard page only
// catches reads that cross into it; with heap set the image lies in a heap
// block of exactly its size instead, where the address sanitizer reports any
// byte read past its end, even inside the last aligned word.
struct Source {
    std::unique_ptr<kbuf::GuardImage> img;
    std::unique_ptr<unsigned char[]> heap;
    size_t heap_n = 0;
    kl_image desc;

    std::vector<unsigned char> bytes() const {
        return img ? img->bytes() : std::vector<unsigned char>(heap.get(), heap.get() + heap_n);
    }

    Source(const Geometry &g, int which) {
        const int sb = g.type == KL_SHORT ? 2 : 1;
        const int bands = g.src_bands[which];
        const size_t row = static_cast<size_t>(g.w > 0 ? g.w : 0) * bands * sb;
        const bool before = g.guard[which] == kbuf::Guard::Before;
        const size_t skew = before ? 0 : static_cast<size_t>(g.src_skew[which]);
        const size_t lb = row + skew + static_cast<size_t>(g.src_gap[which]);
        const int rows = g.h > 0 ? g.h : 1;
        unsigned char *base;
        if (g.heap[which]) {
            heap_n = lb * static_cast<size_t>(rows - 1) + row + skew;
            heap.reset(new unsigned char[heap_n]);
            kbuf::fill_random(heap.get(), heap_n, g.seed * 7 + static_cast<uint32_t>(which));
            base = heap.get();
        } else {
            img = std::make_unique<kbuf::GuardImage>(row + skew, rows, lb ? lb : 1, g.guard[which],
                                                     g.seed * 7 + static_cast<uint32_t>(which));
            base = img->data();
        }
        desc = kbuf::make_image(g.type, bands, g.bmask[1 + which], base + skew, static_cast<int>(lb), g.w, g.h);
    }
};

// Runs the kernel and the model on one geometry; checks the destination
// buffer whole and that the sources are unchanged.
inline ::testing::AssertionResult run(const Geometry &g, bool two, const Call &kernel, const Call &model) {
    const int sb = g.type == KL_SHORT ? 2 : 1;
    const size_t row = static_cast<size_t>(g.w > 0 ? g.w : 0) * g.bands * sb;
    const size_t lb = row + static_cast<size_t>(g.dst_gap);
    kbuf::DstBuf dst(row, g.h > 0 ? g.h : 0, g.dst_align, lb ? lb : 1, g.seed * 13 + 5);
    Source s1(g, 0);
    std::unique_ptr<Source> s2;
    if (two) s2 = std::make_unique<Source>(g, 1);
    const auto b1 = s1.bytes();
    const auto b2 = two ? s2->bytes() : std::vector<unsigned char>();

    kl_image d = dst.image(g.type, g.bands, g.bmask[0], g.w);
    d.h = g.h;
    kl_image de = d;
    de.data = dst.exp_data();
    kl_image m1 = s1.desc, k1 = s1.desc;
    kl_image m2 = two ? s2->desc : kl_image{}, k2 = m2;
    model(g.band_mask, &de, &m1, two ? &m2 : nullptr);
    kernel(g.band_mask, &d, &k1, two ? &k2 : nullptr);

    ::testing::AssertionResult r = dst.check();
    if (!r) return r << "\n  " << g.str();
    if (s1.bytes() != b1 || (two && s2->bytes() != b2))
        return ::testing::AssertionFailure() << "a source changed\n  " << g.str();
    return ::testing::AssertionSuccess();
}

// A random geometry: bands 1..4, widths mostly 0..70 with a few large ones,
// heights mostly 0..3, every alignment, random band masks, both guard sides,
// and now and then a source whose band count differs.
inline Geometry random_geometry(std::mt19937 &rng, int type) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    Geometry g;
    g.type = type;
    g.bands = pick(1, 4);
    g.src_bands[0] = g.src_bands[1] = g.bands;
    if (pick(0, 29) == 0) g.src_bands[pick(0, 1)] = pick(1, 4);
    g.w = pick(0, 9) == 0 ? pick(100, 700) : pick(0, 70);
    g.h = pick(0, 14) == 0 ? pick(4, 40) : pick(0, 3);
    const int step = type == KL_SHORT ? 2 : 1;
    g.dst_align = pick(0, 63) / step * step;
    g.dst_gap = pick(0, 19) / step * step;
    for (int i = 0; i < 2; ++i) {
        g.src_skew[i] = pick(0, 7);
        g.src_gap[i] = pick(0, 17);
        g.guard[i] = pick(0, 1) ? kbuf::Guard::After : kbuf::Guard::Before;
        g.heap[i] = pick(0, 2) == 0;
    }
    for (int &m : g.bmask) m = pick(0, 3) == 0 ? pick(0, 15) : 15;
    g.band_mask = pick(0, 2) == 0 ? 15 : pick(0, 15);
    g.seed = rng();
    return g;
}

// The deterministic sweep: every start alignment (sample steps) and width
// 0..70, rows, gaps, skews, guard sides and band masks varying with them.
inline Geometry sweep_geometry(int type, int align, int w) {
    const int step = type == KL_SHORT ? 2 : 1;
    Geometry g;
    g.type = type;
    g.bands = g.src_bands[0] = g.src_bands[1] = 1 + (w + align / step) % 4;
    g.w = w;
    g.h = 1 + w % 3;
    g.dst_align = align;
    g.dst_gap = step * ((w * 5) % 11 / step + w % 2);
    g.src_skew[0] = (align * 3 + w) % 8;
    g.src_skew[1] = (align + 5 * w) % 8;
    g.src_gap[0] = w % 9;
    g.src_gap[1] = (w / 3) % 8;
    g.guard[(w >> 1) & 1] = (w & 1) ? kbuf::Guard::Before : kbuf::Guard::After;
    g.band_mask = 1 + (w * 7 + align) % 15;
    g.seed = static_cast<uint32_t>(w * 8 + align);
    return g;
}

// Runs check on every sweep geometry for the type, stopping at the first failure.
template <class Check> ::testing::AssertionResult sweep(int type, Check check) {
    for (int align = 0; align < 8; align += type == KL_SHORT ? 2 : 1)
        for (int w = 0; w <= 70; ++w) {
            ::testing::AssertionResult r = check(sweep_geometry(type, align, w));
            if (!r) return r;
        }
    return ::testing::AssertionSuccess();
}

}  // namespace arith_test
