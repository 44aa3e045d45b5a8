// The kernel property harness: a row per kernel family (the kl_ calls, their
// scalar models from tests/ref, a drawer of random layouts and parameters),
// run under the implementation WREN_KERNELS names (the program is registered
// once per implementation), so that every vector body is held to the models.
//
// A case draws its sizes (widths mostly 0..300, so that every head, body and
// tail split of a row is reached), destination alignments 0..63, line gaps,
// band counts, band and descriptor masks and parameters. Destinations lie
// inside canaries, with a twin the model writes into; sources start right
// after or end right before an inaccessible page. A case passes when every
// destination buffer equals its twin byte for byte and no source changed. The
// first cases of the copy and arithmetic rows draw images past the size from
// which the vector bodies stream their stores.
//
// WREN_PROPERTY_CASES=n runs n times each row's cases; a failure names the
// row and the case, and WREN_PROPERTY_CASE=i runs just case i of each row.

#include <algorithm>
#include <cmath>
#include <memory>

#include "draws.h"
#include "kbuf.h"
#include "ref_affine.h"
#include "ref_arith.h"
#include "ref_convolve.h"
#include "ref_copy.h"
#include "ref_lookup.h"
#include "ref_qdx.h"
#include "ref_resample.h"
#include "ref_threshold.h"
#include "ref_transpose.h"
#include "wren_feed.h"
#include "wren_regmap.h"

namespace property_test {

using kbuf::Guard;

// The buffers and the random choices of one case.
struct Case {
    std::mt19937 g;
    int index, bigs;
    bool packed;  // images without gaps between their rows (most of the case's)
    std::vector<std::unique_ptr<kbuf::DstBuf>> outs;
    std::vector<std::unique_ptr<kbuf::GuardBuf>> ins;
    std::vector<std::vector<unsigned char>> snaps;
    std::string err;
    Case(uint32_t seed, int i, int b) : g(seed), index(i), bigs(b) { packed = one_in(big() ? 2 : 8); }

    int r(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g); }
    bool one_in(int n) { return r(0, n - 1) == 0; }
    // Case i of a row takes choice i mod n: every kernel of a row gets its share.
    int pick(int n) const { return index % n; }
    // Large images (past the streaming size) in the first cases of some rows.
    bool big() const { return index < bigs; }
    int mask() { return one_in(3) ? 15 : one_in(6) ? r(0, 255) : r(0, 15); }
    int width() { return big() ? r(600, 700) : one_in(10) ? r(0, 8) : r(0, 300); }
    int height(size_t row) {
        if (big()) return static_cast<int>((size_t{1} << 20) / std::max<size_t>(row, 1) + 2);
        return one_in(15) ? r(4, 40) : one_in(20) ? 0 : r(1, 3);
    }
    float u(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(g); }
    void expect(bool ok, const std::string &what) {
        if (!ok && err.empty()) err = what;
    }

    // A destination of h rows of `row` bytes, lb apart, at a drawn alignment
    // (a multiple of unit; of 64 in half the large cases), inside canaries.
    unsigned char *out(size_t row, int h, size_t lb, int unit = 1) {
        const int align = big() && index % 2 ? 0 : r(0, 63) / unit * unit;
        outs.push_back(std::make_unique<kbuf::DstBuf>(row, std::max(h, 0), align, std::max<size_t>(lb, 1), g()));
        return outs.back()->data();
    }
    // Where the model writes for destination address p.
    unsigned char *twin(const unsigned char *p) {
        for (auto &o : outs)
            if (p >= o->base() && p <= o->base() + o->size()) return o->exp_data() + (p - o->data());
        return nullptr;
    }
    kl_image twin(const kl_image &d) {
        kl_image e = d;
        e.data = twin(d.data);
        return e;
    }
    // n random source bytes from an address that is a multiple of unit,
    // against a guard page: ending right before it (but for the padding to a
    // multiple of unit), or starting right after it or a drawn offset past it
    // (side: 0 drawn, 1 ending before it, 2 starting right after it).
    unsigned char *in(size_t n, int unit = 1, int side = 0) {
        const bool after = side ? side == 1 : one_in(2);
        const size_t skew = after || side == 2 || one_in(2) ? 0 : static_cast<size_t>(r(0, 63) / unit * unit);
        const size_t pad = after ? (unit - n % unit) % unit : 0;
        ins.push_back(std::make_unique<kbuf::GuardBuf>(n + skew + pad, after ? Guard::After : Guard::Before));
        unsigned char *p = ins.back()->data() + skew;
        kbuf::fill_random(ins.back()->data(), n + skew + pad, g());
        snaps.emplace_back();
        return p;
    }
    // Keeps the source bytes as they are now, to be compared after the call.
    void seal() {
        for (size_t i = 0; i < ins.size(); ++i)
            if (snaps[i].empty()) snaps[i].assign(ins[i]->data(), ins[i]->data() + ins[i]->size());
    }

    size_t gap(int unit) { return packed && !one_in(4) ? 0 : static_cast<size_t>(r(0, 20) / unit * unit); }

    // A w x h destination image of n samples; its address and line bytes are
    // multiples of unit (at least the sample size).
    kl_image dst(int type, int n, int w, int h, int unit = 1) {
        const int sb = type == KL_SHORT ? 2 : 1;
        unit = std::max(unit, sb);
        const size_t row = static_cast<size_t>(std::max(w, 0)) * n * sb;
        const size_t lb = std::max<size_t>((row + gap(unit) + unit - 1) / unit * unit, unit);
        unsigned char *p = out(row, h, lb, unit);
        return kbuf::make_image(type, n, one_in(4) ? r(0, 15) : 15, p, static_cast<int>(lb), w, h);
    }
    // A w x h source image of n samples with m = {left, top, right, bottom}
    // readable pixels around the area; 16-bit samples now and then at extremes.
    kl_image src(int type, int n, int w, int h, int unit = 1, const int (&m)[4] = {0, 0, 0, 0}) {
        const int sb = type == KL_SHORT ? 2 : 1;
        unit = std::max(unit, sb);
        const int tw = std::max(w, 0) + m[0] + m[2], th = std::max(h, 0) + m[1] + m[3];
        const size_t row = static_cast<size_t>(tw) * n * sb;
        const size_t lb = std::max<size_t>((row + static_cast<size_t>(packed && !one_in(4) ? 0 : r(0, 70)) + unit - 1) /
                                               unit * unit, unit);
        unsigned char *p = in(th > 0 ? lb * static_cast<size_t>(th - 1) + row : 0, unit);
        if (sb == 2 && one_in(2)) {
            static const int16_t e[] = {-32768, -32767, -256, -181, -1, 0, 1, 181, 255, 256, 32766, 32767};
            for (size_t i = 0; i + 1 < ins.back()->size() - (p - ins.back()->data()); i += 2)
                if (one_in(4)) std::memcpy(p + i, &e[r(0, 11)], 2);
        }
        kl_image s = kbuf::make_image(type, n, one_in(4) ? r(0, 15) : 15, p, static_cast<int>(lb), w, h);
        s.data += static_cast<ptrdiff_t>(m[1]) * s.lb + static_cast<ptrdiff_t>(m[0]) * s.bpp;
        s.x = m[0], s.y = m[1], s.padx = m[2], s.pady = m[3];
        return s;
    }

    ::testing::AssertionResult check() {
        for (auto &o : outs) {
            ::testing::AssertionResult res = o->check();
            if (!res) return res;
        }
        for (size_t i = 0; i < ins.size(); ++i)
            if (!snaps[i].empty() && std::memcmp(snaps[i].data(), ins[i]->data(), snaps[i].size()) != 0)
                return ::testing::AssertionFailure() << "a source changed";
        if (!err.empty()) return ::testing::AssertionFailure() << err;
        return ::testing::AssertionSuccess();
    }
};

// ---- Arithmetic --------------------------------------------------------------

using Two = void (*)(int, kl_image *, kl_image *, kl_image *);
using Konst = void (*)(int, kl_image *, kl_image *, short *);
using One = void (*)(int, kl_image *, kl_image *);

// Two sources (one of them now and then the destination itself) and abs.
void two_source(Case &c) {
    static const Two f[2][8] = {{kl_add_8, kl_sub_8, kl_mpy_8, kl_max_8, kl_min_8, kl_and_8, kl_or_8, kl_xor_8},
                                {kl_add_16, kl_sub_16, kl_mpy_16, kl_max_16, kl_min_16, kl_and_16, kl_or_16, kl_xor_16}};
    const int k = c.pick(17), wide = k >= 8, type = wide ? KL_SHORT : KL_BYTE, n = c.r(1, 4), w = c.width();
    const int h = c.height(static_cast<size_t>(w) * n * (wide + 1)), m = c.mask();
    kl_image d = c.dst(type, n, w, h), e = c.twin(d);
    kl_image a = c.src(type, c.one_in(30) ? c.r(1, 4) : n, w, h), b = c.src(type, n, w, h);
    c.seal();
    if (k == 16) {
        ref::abs_16(m, e, a);
        kl_abs_16(m, &d, &a);
        return;
    }
    kl_image ea = a;
    if (c.one_in(10)) a = d, ea = e;  // in place
    const ref::Op2 op = static_cast<ref::Op2>(k % 8);
    (wide ? ref::arith2_16 : ref::arith2_8)(op, m, e, ea, b);
    f[wide][k % 8](m, &d, &a, &b);
}

// Constant kernels and multiply by constant; the constants array must come
// back as the model leaves it.
void constants(Case &c) {
    static const Konst f[2][6] = {{kl_addk_8, kl_subk_8, kl_ksub_8, kl_andk_8, kl_ork_8, kl_xork_8},
                                  {kl_addk_16, kl_subk_16, kl_ksub_16, kl_andk_16, kl_ork_16, kl_xork_16}};
    static const short edge[] = {-32768, -4096, -2049, -2048, -256, -255, -1, 0, 1, 254, 255, 256, 2047, 2048, 32767};
    const int k = c.pick(13), wide = k >= 6 && k < 12, type = wide ? KL_SHORT : KL_BYTE, n = c.r(1, 4);
    const int w = c.width(), h = c.height(static_cast<size_t>(w) * n * (wide + 1)), m = c.mask();
    kl_image d = c.dst(type, n, w, h), e = c.twin(d), s = c.src(type, c.one_in(30) ? c.r(1, 4) : n, w, h);
    short kk[4], km[4];
    for (short &x : kk)
        x = static_cast<short>(c.one_in(3)   ? edge[c.r(0, 14)]
                               : c.one_in(3) ? c.r(-32768, 32767)
                               : k == 12     ? c.r(-10, 0x3fff)
                               : wide        ? c.r(-3000, 3000)
                                             : c.r(-300, 600));
    std::memcpy(km, kk, sizeof kk);
    c.seal();
    if (k == 12) {
        const int shift = c.one_in(20) ? c.r(-1, 16) : c.r(0, 15), round = c.r(0, 1);
        ref::mpyk_8(m, e, s, km, shift, round);
        kl_mpyk_8(m, &d, &s, kk, shift, round);
    } else {
        (wide ? ref::arithk_16 : ref::arithk_8)(static_cast<ref::OpK>(k % 6), m, e, s, km);
        f[wide][k % 6](m, &d, &s, kk);
    }
    c.expect(std::memcmp(kk, km, sizeof kk) == 0, "constants after the call differ from the model's");
}

// ---- Copies --------------------------------------------------------------------

// kl_copy_8/16 between any band counts (and sample types that differ), the
// band and 3 <-> 4 kernels (now and then on a layout they refuse), and copies
// of an area onto itself moved by a pixel, 8 pixels or a row either way.
void copy_band(Case &c) {
    static const One f[5][2] = {{kl_copy_8, kl_copy_16},
                                {kl_band_extract_8, kl_band_extract_16},
                                {kl_band_insert_8, kl_band_insert_16},
                                {kl_copy8_3_4, kl_copy16_3_4},
                                {kl_copy8_4_3, kl_copy16_4_3}};
    static void (*const model[5])(int, int, const kl_image &, const kl_image &) = {
        ref::copy, ref::band_extract, ref::band_insert, ref::copy_3_4, ref::copy_4_3};
    const int k = c.pick(6), wide = c.r(0, 1), sb = wide + 1, type = wide ? KL_SHORT : KL_BYTE, m = c.mask();
    if (k == 5) {
        const int n = c.r(1, 4), w = c.r(1, 90), h = c.r(1, 4), lb = w * n * sb + c.r(0, 12) * sb;
        const int shifts[] = {n * sb, -n * sb, 8 * n * sb, lb, -lb}, off = shifts[c.r(0, 4)], pad = 2 * lb + 64;
        const size_t total = static_cast<size_t>(pad + lb * (h + 1) + pad);
        unsigned char *base = c.out(total, 1, total);
        const std::vector<unsigned char> snap(base, base + total);
        kl_image s = kbuf::make_image(type, n, 15, base + pad, lb, w, h), d = s, se = s;
        d.data += off;
        se.data = const_cast<unsigned char *>(snap.data()) + pad;
        ref::copy(sb, m, c.twin(d), se);
        f[0][wide](m, &d, &s);
        return;
    }
    int nd = c.r(1, 4), ns = c.r(1, 4);
    if (!c.one_in(5)) {
        const int layout[5][2] = {{nd, ns}, {1, c.r(2, 4)}, {c.r(2, 4), 1}, {4, 3}, {3, 4}};
        nd = layout[k][0], ns = layout[k][1];
    }
    const int w = c.width(), h = c.height(static_cast<size_t>(w) * nd * sb);
    kl_image d = c.dst(type, nd, w, h);
    d.fb = nd == ns && c.one_in(4);
    kl_image s = c.src(c.one_in(40) ? KL_SHORT + KL_BYTE - type : type, ns, w, h);
    if (c.one_in(2)) s.bmask = d.bmask & ((1 << ns) - 1);
    c.seal();
    model[k](sb, m, c.twin(d), s);
    f[k][wide](m, &d, &s);
}

// The block copy engines and the masked row copies: sources on guard pages or
// inside the destination buffer, overlapping in the direction the copy supports.
void row_copies(Case &c) {
    using Rows = void (*)(void *, int, int, int, void *, int);
    static const Rows engines[] = {kl_gcopy_m2m, kl_gcopy_m2f, kl_gcopy_f2m, kl_gcopy_f2f, kl_gcopyrl_m2m, kl_gcopyrl_f2f};
    const int k = c.pick(8);
    const bool masked = k >= 6, bwd = k == 4 || k == 5 || k == 7;
    const int nbytes = c.big() ? c.r(512, 1200) : c.one_in(40) ? c.r(4000, 70000) : c.one_in(9) ? c.r(-2, 16) : c.r(0, 1200);
    const int h = c.big() ? (1 << 20) / nbytes + 1 : c.one_in(20) ? c.r(-1, 0) : c.r(1, 3);
    const int lb = std::max(nbytes + (c.one_in(3) ? 0 : c.r(0, 40)), 1), n = c.r(1, 4);
    unsigned pattern = 0xffffffu;
    if (masked) {
        const int which = c.r(0, 3);
        pattern = which == 0 ? static_cast<unsigned>(c.g()) : which == 1 ? c.g() & 0xffffffu
                  : which == 2 ? kl_masks_8[n][c.r(0, 15)] : kl_masks_16b[n][c.r(0, 15)];
    }
    const size_t rows = static_cast<size_t>(std::max(h, 0)), row = static_cast<size_t>(std::max(nbytes, 0));
    unsigned char *d, *s;
    int slb = lb;
    std::vector<unsigned char> snap;
    const unsigned char *ms;
    if (c.one_in(3) && h > 0 && nbytes > 0) {  // overlapping: the source above (forwards) or below (backwards)
        const int off = c.one_in(3) ? lb : c.r(1, 200);
        const size_t total = static_cast<size_t>(lb) * (rows + 1) + 256;
        unsigned char *base = c.out(total, 1, total);
        d = base + (bwd ? off : 0);
        s = base + (bwd ? 0 : off);
        snap.assign(base, base + total);
        ms = snap.data() + (s - base);
    } else {
        d = c.out(row, h, static_cast<size_t>(lb));
        slb = lb == nbytes ? lb : std::max(nbytes + c.r(0, 40), 1);
        s = c.in(rows ? static_cast<size_t>(slb) * (rows - 1) + row : 0);
        ms = s;
    }
    c.seal();
    if (nbytes > 0 && h > 0) ref::mcopy(pattern & 0xffffffu, c.twin(d), lb, nbytes, h, ms, slb);
    if (masked)
        (bwd ? kl_mcopy_rl : kl_mcopy)(pattern, d, lb, nbytes, h, s, slb);
    else
        engines[k](d, lb, nbytes, h, s, slb);
}

// ---- Lookups -----------------------------------------------------------------

// Every lookup kernel with the band counts it takes; tables on guard pages,
// those of unselected bands absent; a 3-band single table whose entry 0 byte
// 0 (never read) lies on the guard page.
void lookups(Case &c) {
    using Single = void (*)(int, kl_image *, kl_image *, unsigned char *);
    using Multi = void (*)(int, kl_image *, kl_image *, unsigned char **);
    static const struct {
        int sb, n;
        Single single;
        Multi multi;
    } kernels[] = {
        {1, 0, kl_lookup8_8, nullptr},       {1, 1, kl_lookup8_8_1, nullptr},    {1, 2, kl_lookup8_8_2, nullptr},
        {1, 3, kl_lookup8_8_3, nullptr},     {1, 4, kl_lookup8_8_4, nullptr},    {2, 0, kl_lookup16_8, nullptr},
        {1, 0, nullptr, kl_mlookup8_8},      {1, 2, nullptr, kl_mlookup8_8_2},   {1, 3, nullptr, kl_mlookup8_8_3},
        {1, 4, nullptr, kl_mlookup8_8_4},    {2, 0, nullptr, kl_mlookup16_8},    {2, 2, nullptr, kl_mlookup16_8_2},
        {2, 3, nullptr, kl_mlookup16_8_3},   {2, 4, nullptr, kl_mlookup16_8_4},
    };
    const auto &k = kernels[c.pick(14)];
    const int n = k.n ? k.n : c.r(1, 4), sn = k.single ? 1 : n, w = c.width(), h = c.height(0), m = c.mask();
    const size_t entries = k.sb == 1 ? 256 : 65536;
    kl_image d = c.dst(KL_BYTE, n, w, h), e = c.twin(d);
    kl_image s = c.src(k.sb == 1 ? KL_BYTE : KL_SHORT, sn, w, h);
    s.bmask = (1 << sn) - 1;
    if (k.single) {
        const size_t es = n == 3 ? 4 : static_cast<size_t>(n);
        unsigned char *t = n == 3 && c.one_in(2) ? c.in(entries * 4 - 1, 1, 2) - 1 : c.in(entries * es);
        c.seal();
        ref::lookup(k.sb, m, e, s, t);
        k.single(m, &d, &s, t);
        return;
    }
    unsigned char *t[4] = {};
    for (int b = 0; b < n; ++b)
        if (n == 1 || ((m & d.bmask) >> (n - 1 - b) & 1)) t[b] = c.in(entries);
    c.seal();
    ref::mlookup(k.sb, m, e, s, t);
    k.multi(m, &d, &s, t);
}

// ---- Flips and block transposition ----------------------------------------------

// The flips (and flip types they refuse): the source is exactly the image,
// its pixel that lands on the destination's first passed, so that the
// mirrored walk ends at the image's first or last byte, next to the guard page.
void flips(Case &c) {
    static const int types[] = {0, 1, 5, 0, 1, 5, 0, 1, 5, 2, 3, -1};
    const int wide = c.r(0, 1), sb = wide + 1, type = wide ? KL_SHORT : KL_BYTE, n = c.r(1, 4);
    const int flip = types[c.pick(12)], w = c.one_in(3) ? c.r(0, 71) : c.r(0, 400), h = c.one_in(8) ? 9 : c.r(0, 3);
    kl_image d = c.dst(type, n, w, h);
    d.fb = c.one_in(4);
    kl_image s = c.src(type, n, w, h);
    if (c.one_in(2)) s.bmask = d.bmask;
    if (w > 0 && h > 0) s.data += (flip == 1 ? 0 : static_cast<ptrdiff_t>(h - 1) * s.lb) + (flip == 0 ? 0 : (w - 1) * n * sb);
    c.seal();
    ref::flip(sb, c.twin(d), s, flip);
    (wide ? kl_transpose_16 : kl_transpose_8)(&d, &s, flip);
}

// Rows to column-major words and back (1 to 9 rows, the missing ones zero
// or not written), and the 4 x 4 transpose of 16-bit samples at a stride.
void block_transpose(Case &c) {
    const int k = c.pick(5), sb = k % 2 + 1, nrows = c.r(1, 9), used = std::min(nrows, sb == 2 ? 4 : 8);
    const int count = c.one_in(10) ? c.r(-1, 8) : c.r(1, 400);
    const size_t bytes = static_cast<size_t>(std::max(count, 0)) * sb, words = static_cast<size_t>(std::max(count, 0));
    if (k == 4) {
        uint64_t w[4];
        kbuf::fill_random(reinterpret_cast<unsigned char *>(w), sizeof w, c.g());
        const int stride = c.r(0, 4);
        unsigned char *d = c.out(static_cast<size_t>(24 * stride + 8), 1, static_cast<size_t>(24 * stride + 8), 8);
        unsigned char *e = c.twin(d);
        for (int col = 0; col < 4; ++col)
            for (int row = 0; row < 4; ++row)
                for (int b = 0; b < 2; ++b) e[8 * col * stride + 2 * row + b] = static_cast<unsigned char>(w[row] >> (16 * col + 8 * b));
        transpose16_4x4(w[0], w[1], w[2], w[3], d, stride);
        return;
    }
    std::vector<unsigned char *> rows(9, nullptr);
    if (k < 2) {
        for (int r = 0; r < used; ++r) rows[r] = c.in(bytes, sb);
        auto *block = reinterpret_cast<uint64_t *>(c.out(words * 8, 1, words * 8, 8));
        unsigned char *e = c.twin(reinterpret_cast<unsigned char *>(block));
        c.seal();
        for (size_t i = 0; i < words; ++i)
            for (int r = 0; r < 8; ++r)
                e[8 * i + r] = r >= used * sb ? 0 : rows[r / sb][i * sb + r % sb];
        if (sb == 1)
            transpose_in_8(rows.data(), block, count, nrows);
        else
            transpose_in_16(reinterpret_cast<const int16_t *const *>(rows.data()), block, count, nrows);
        return;
    }
    const auto *block = reinterpret_cast<const uint64_t *>(c.in(words * 8, 8));
    for (int r = 0; r < 9; ++r) {
        rows[r] = c.out(bytes, 1, std::max<size_t>(bytes, 1), sb);
        if (r < used)
            for (size_t i = 0; i < bytes; ++i) c.twin(rows[r])[i] = static_cast<unsigned char>(block[i / sb] >> (8 * (r * sb + i % sb)));
    }
    c.seal();
    if (sb == 1)
        transpose_out_8(block, rows.data(), count, nrows);
    else
        transpose_out_16(block, reinterpret_cast<int16_t *const *>(rows.data()), count, nrows);
}

// ---- Quick zoom --------------------------------------------------------------

// Every form and phase; sources of exactly the pixels a rectangle needs,
// mostly one band each side, sometimes one sample of a wider pixel.
void quick_zoom(Case &c) {
    const draws::ZoomForm &fm = draws::kZoomForms[c.pick(12)];
    const int f = fm.f, xp = c.r(0, f - 1), yp = c.r(0, f - 1), w = c.one_in(3) ? c.r(1, 16) : c.r(1, 300), h = c.r(1, 10);
    const int cols = (xp + w - 1 + f - 1) / f + 1, rows = (yp + h - 1 + f - 1) / f + 1;
    int dn = 1, dmask = 1, sn = 1, smask = 1;
    if (c.one_in(5)) dn = 4, dmask = 1 << c.r(0, 2), sn = c.r(1, 4), smask = 1 << c.r(0, sn - 1);
    kl_image d = c.dst(KL_BYTE, dn, w, h);
    d.bmask = dmask;
    kl_image s = c.src(fm.sb == 2 ? KL_SHORT : KL_BYTE, sn, cols, rows);
    s.bmask = smask;
    const unsigned char *table = c.in(fm.sb == 1 ? 256 : 65536);
    std::vector<uint64_t> line(static_cast<size_t>(w) * 2);
    kbuf::fill_random(reinterpret_cast<unsigned char *>(line.data()), line.size() * 8, c.g());
    c.seal();
    ref::zoom(f, c.twin(d), s, fm.lut ? table : nullptr, xp, yp);
    if (fm.plain)
        fm.plain(&s, &d, xp, yp, line.data());
    else
        fm.lut(&s, &d, fm.moved ? table + 32768 : table, xp, yp, line.data());
}

// ---- Threshold, the mapping feed, set value and combine ---------------------------

void threshold_feed(Case &c) {
    const int k = c.pick(4), wide = k % 2, type = wide ? KL_SHORT : KL_BYTE, w = c.one_in(20) ? 2048 : c.width();
    if (k >= 2) {  // a word per 8-byte slot, rows 16384 bytes apart whatever lb says; now and then nothing
        const int h = c.r(1, 3), dn = c.one_in(15) ? c.r(1, 4) : 1, sn = c.one_in(15) ? c.r(1, 4) : 1;
        unsigned char *slots = c.out(static_cast<size_t>(w) * 8, h, wren_fb::map_line_bytes, 4);
        kl_image d = kbuf::make_image(KL_BYTE, dn, 1, slots, c.r(1, 1000), w, h);
        kl_image s = c.src(type, sn, w, h);
        c.seal();
        if (dn == 1 && sn == 1) ref::rescale_feed(wide + 1, c.twin(d), s);
        (wide ? kl_rescale_wren_16 : kl_rescale_wren_8)(&d, &s);
        return;
    }
    const int n = c.r(1, 4), h = c.height(0), m = c.mask();
    kl_image d = c.dst(type, n, w, h), s = c.src(type, c.one_in(30) ? c.r(1, 4) : n, w, h);
    short lo[4], hi[4], map[4];
    for (int b = 0; b < 4; ++b) {
        lo[b] = draws::threshold_value(c, wide), hi[b] = draws::threshold_value(c, wide);
        map[b] = draws::threshold_value(c, wide);
        if (!c.one_in(4) && lo[b] > hi[b]) std::swap(lo[b], hi[b]);  // else now and then an empty interval
    }
    if (c.one_in(3))  // one-sided clamps in every band (a min or a max in the vector bodies)
        for (int b = 0; b < 4; ++b) {
            if (c.one_in(2)) hi[b] = static_cast<short>(wide ? 32767 : 255), map[b] = lo[b];
            else lo[b] = static_cast<short>(wide ? -32768 : 0), map[b] = hi[b];
        }
    c.seal();
    ref::threshold(wide + 1, m, c.twin(d), s, lo, hi, map);
    (wide ? kl_threshold_16 : kl_threshold_8)(m, &d, &s, lo, hi, map);
}

void setval_combine(Case &c) {
    const int k = c.pick(3), w = c.width(), h = c.height(0);
    if (k == 2) {  // three one-band images into 4-byte pixels
        kl_image d = c.dst(KL_BYTE, 4, w, h, 4), b[3];
        for (kl_image &s : b) s = c.src(KL_BYTE, 1, w, h);
        c.seal();
        ref::combine(c.twin(d), b[0], b[1], b[2]);
        kl_combine_wren(&d, &b[0], &b[1], &b[2]);
        return;
    }
    kl_image d = c.dst(k ? KL_SHORT : KL_BYTE, c.r(1, 4), w, h);
    short v[4];
    for (short &x : v) x = static_cast<short>(c.one_in(4) ? c.r(-32768, 32767) : c.r(-150, 450));
    const int m = c.mask();
    ref::setval(m, c.twin(d), v, k == 1);
    (k ? kl_setval_16 : kl_setval_8)(m, &d, v);
}

// ---- Convolution -------------------------------------------------------------

// General and separable, 3x3 to 7x7, 0 to r + 2 real source pixels on each
// side of the area, 1-4 bands, every edge mode (and ones they refuse).
void convolution(Case &c) {
    using General = void (*)(int, kl_image *, kl_image *, float *, int, int);
    using Separable = void (*)(int, kl_image *, kl_image *, float *, float *, int);
    static const General general[] = {kl_convolve3x3_8, kl_convolve5x5_8, kl_convolve7x7_8};
    static const Separable separable[] = {kl_sconvolve3x3_8, kl_sconvolve5x5_8, kl_sconvolve7x7_8};
    const int k = c.pick(6), size = k % 3, n = 3 + 2 * size, sep = k >= 3;
    const int w = c.one_in(7) ? c.r(1, c.one_in(3) ? 2600 : 300) : c.r(1, 40), h = c.r(1, 9);
    const bool multi = c.one_in(4);
    int around[4];
    for (int &a : around) a = c.r(0, n / 2 + 2);
    kl_image d = c.dst(KL_BYTE, multi ? c.r(1, 4) : 1, w, h);
    kl_image s = c.src(KL_BYTE, multi ? c.r(1, 4) : 1, c.one_in(4) ? w + c.r(1, 3) : w, h, 1, around);
    if (!multi) d.bmask = s.bmask = 1;
    const int mask = multi ? c.mask() : c.one_in(9) ? 0 : 1;
    const int edge = c.one_in(17) ? c.r(-1, 7) : c.r(0, sep ? 2 : 1);
    float kk[49] = {}, hv[2][7] = {};
    draws::convolution_coefficients(c, kk, hv, n);
    c.seal();
    kl_image e = c.twin(d);
    if (sep) {
        ref::sconvolve(n, mask, e, s, hv[0], hv[1], edge);
        separable[size](mask, &d, &s, hv[0], hv[1], edge);
    } else {
        ref::convolve(n, mask, e, s, kk, edge);
        general[size](mask, &d, &s, kk, edge, 1);
    }
}

// ---- Affine warp ---------------------------------------------------------------

// The seventeen kernels, directly and through kl_affine: rotations and
// scalings about a point near the source, now and then the identity, a
// scaling, constant rows, a mirror, an extreme transform (far outside the
// fixed-point range, NaN, infinite), random table bytes (lanes wrapping),
// row offsets going upwards.
void affine(Case &c) {
    using NnFn = void (*)(kl_image *, kl_image *, int *, float, float, float, float, float, float);
    using FiltFn = void (*)(kl_image *, kl_image *, int *, void *, float, float, float, float, float, float);
    static const draws::AffineTables tables;
    static const struct {
        ref::Interp interp;
        int type, sn, dn, unit;
        NnFn nn;
        FiltFn filt;
    } kernels[] = {
        {ref::Interp::Nearest, KL_BYTE, 1, 1, 1, kl_affine_nn_8_1_1, nullptr},
        {ref::Interp::Nearest, KL_BYTE, 3, 3, 1, kl_affine_nn_8_3_3, nullptr},
        {ref::Interp::Nearest, KL_BYTE, 3, 4, 4, kl_affine_nn_8_3_4, nullptr},
        {ref::Interp::Nearest, KL_BYTE, 4, 4, 4, kl_affine_nn_8_4_4, nullptr},
        {ref::Interp::Nearest, KL_SHORT, 1, 1, 2, kl_affine_nn_16_1_1, nullptr},
        {ref::Interp::Nearest, KL_SHORT, 3, 3, 2, kl_affine_nn_16_3_3, nullptr},
        {ref::Interp::Nearest, KL_SHORT, 4, 4, 8, kl_affine_nn_16_4_4, nullptr},
        {ref::Interp::Bilinear, KL_BYTE, 1, 1, 1, nullptr, kl_affine_bl_8_1_1},
        {ref::Interp::Bilinear, KL_BYTE, 3, 3, 1, nullptr, kl_affine_bl_8_3_3},
        {ref::Interp::Bilinear, KL_BYTE, 3, 4, 4, nullptr, kl_affine_bl_8_3_4},
        {ref::Interp::Bicubic, KL_BYTE, 1, 1, 1, nullptr, kl_affine_bc_8_1_1},
        {ref::Interp::Bicubic, KL_BYTE, 3, 3, 1, nullptr, kl_affine_bc_8_3_3},
        {ref::Interp::Bicubic, KL_BYTE, 3, 4, 4, nullptr, kl_affine_bc_8_3_4},
        {ref::Interp::Bilinear, KL_SHORT, 1, 1, 2, nullptr, kl_affine_bl_16_1_1},
        {ref::Interp::Bilinear, KL_SHORT, 3, 3, 2, nullptr, kl_affine_bl_16_3_3},
        {ref::Interp::Bicubic, KL_SHORT, 1, 1, 2, nullptr, kl_affine_bc_16_1_1},
        {ref::Interp::Bicubic, KL_SHORT, 3, 3, 2, nullptr, kl_affine_bc_16_3_3},
    };
    static const char *const names[] = {"nearest", "bilinear", "bicubic"};
    const auto &k = kernels[c.pick(17)];
    const int sw = c.one_in(3) ? c.r(1, 90) : c.r(1, 24), sh = c.r(1, 20), dw = c.r(1, 130), dh = c.r(1, 12);
    kl_image s = c.src(k.type, k.sn, sw, sh, k.unit), d = c.dst(k.type, k.dn, dw, dh, k.unit);
    s.bmask = d.bmask = (1 << k.sn) - 1;
    d.x = c.r(-10, 10), d.y = c.r(-10, 10);
    std::vector<int> ro(static_cast<size_t>(sh));
    const bool up = c.one_in(8);
    for (int i = 0; i < sh; ++i) ro[static_cast<size_t>(i)] = (up ? sh - 1 - i : i) * s.lb;
    const bool wide = k.type == KL_SHORT;
    void *table = k.interp == ref::Interp::Nearest    ? nullptr
                  : k.interp == ref::Interp::Bilinear ? (wide ? tables.bl16 : tables.bl8)
                                                      : (wide ? tables.bc16 : tables.bc8)[0];
    std::vector<unsigned char> random_table;
    if (table && c.one_in(6)) {
        random_table.resize(10240);
        kbuf::fill_random(random_table.data(), random_table.size(), c.g());
        table = random_table.data();
    }
    const float th = c.u(0, 6.2832f), sc = c.u(0.4f, 2.2f);
    float x[6] = {sc * std::cos(th), sc * std::sin(th), -sc * std::sin(th), sc * std::cos(th), 0, 0};
    switch (c.r(0, 7)) {
    case 0: x[0] = x[3] = 1, x[1] = x[2] = 0; break;
    case 1: x[1] = x[2] = 0; break;
    case 2: x[0] = x[1] = 0; break;  // whole rows or none
    case 3: x[0] = -x[0]; break;
    default: break;
    }
    x[4] = c.u(-0.3f, 0.7f) * static_cast<float>(sw) * 1.5f + (c.one_in(4) ? 0.5f : 0.f);
    x[5] = c.u(-0.3f, 0.7f) * static_cast<float>(sh) * 1.5f;
    if (c.one_in(12)) {
        static const float extreme[][6] = {{1e9f, 0, 0, 1e9f, 0, 0},  {1, 0, 0, 1, 1e9f, -1e9f},   {1, 0, 0, 1, NAN, 0},
                                           {INFINITY, 0, 0, 1, 0, 0}, {0, 0, 0, 0, 2.5f, 2.5f},    {40000, 0, 0, 1, 0, 0},
                                           {1, 1e-7f, 0, 1, -0.999f, 0}, {-2000, 0, 0, 1, 40004.5f, 2},
                                           {0.25f, -2000, 0, 1, 0, 40003.5f}, {-1638.4f, 0, 0, 1, 40000, 3}};
        std::memcpy(x, extreme[c.r(0, 9)], sizeof x);
        d.x = d.y = 0;
    }
    c.seal();
    ref::affine(c.twin(d), s, k.interp, ro.data(), table, x[0], x[1], x[2], x[3], x[4], x[5]);
    if (c.one_in(4)) {
        const char *name = names[static_cast<int>(k.interp)];
        c.expect(kl_affine_possible(&d, &s, name) == 1, "kl_affine_possible refuses the layout");
        kl_affine(&d, &s, name, ro.data(), table, x[0], x[1], x[2], x[3], x[4], x[5]);
    } else if (k.nn) {
        k.nn(&d, &s, ro.data(), x[0], x[1], x[2], x[3], x[4], x[5]);
    } else {
        k.filt(&d, &s, ro.data(), table, x[0], x[1], x[2], x[3], x[4], x[5]);
    }
}

// ---- Resampling ------------------------------------------------------------------

struct TableDel {
    void operator()(kl_resample_table *t) const { kl_resample_destroy(t); }
};

// kl_scale (and kl_scale_work with exactly the workspace asked for) over
// kinds, factors, translations on and off the quarter grid, sizes, 1-4 bands
// of 8 and 16 bits, band masks, edge modes with source margins (sometimes no
// row or column), the 2x paths on and off.
void resample(Case &c) {
    static const float scales[] = {2.0f, 1.5f, 0.5f, 3.7f, 1.0f, 0.3f, 2.0001f, 1.0f / 3.0f, 5.0f, 0.73f};
    const int kind = c.pick(4), type = c.one_in(4) ? KL_SHORT : KL_BYTE, n = c.r(1, 4);
    int edgeH = c.r(0, 2), edgeV = kind == 3 ? c.r(0, 2) : edgeH;
    const float xs = kind < 2 && c.one_in(4) ? 2.0f : scales[c.r(0, 9)], ys = c.one_in(3) ? scales[c.r(0, 9)] : xs;
    auto trans = [&] { return c.one_in(3) ? -0.5f : c.r(-80, 80) * 0.25f - 0.5f + (c.one_in(4) ? 0.13f : 0.f); };
    const float xt = trans(), yt = trans();
    int m[4] = {}, sw = c.one_in(4) ? c.r(1, 160) : c.r(1, 40), sh = c.r(1, 24);
    if (c.one_in(2))
        for (int &x : m) x = c.r(0, 3);
    if (c.one_in(20)) (c.one_in(2) ? sw : sh) = 0;
    // Extend needs something to repeat (a missing row also stops the fixed filters).
    const bool ex = m[0] + sw + m[2] == 0, ey = m[1] + sh + m[3] == 0;
    if ((ex || (ey && kind < 3)) && edgeH == KL_EDGE_EXTEND) edgeH = KL_EDGE_ZERO_FILL;
    if (ey && edgeV == KL_EDGE_EXTEND) edgeV = KL_EDGE_ZERO_FILL;
    if (kind < 3) edgeV = edgeH;
    const int t8 = type == KL_SHORT ? 16 : 8;
    std::unique_ptr<kl_resample_table, TableDel> t;
    if (kind == 0) t.reset(kl_resample_create_nearest(edgeH));
    if (kind == 1) t.reset(kl_resample_create_bilinear(256, c.r(1, 300), t8, edgeH));
    if (kind == 2) t.reset(kl_resample_create_bicubic(c.r(1, 300), 256, t8, edgeH));
    if (kind == 3) {
        const int wh = c.r(1, 8), wv = c.r(1, 8), ph = c.r(1, 40), pv = c.r(1, 40);
        std::vector<float> ch(static_cast<size_t>(ph * wh)), cv(static_cast<size_t>(pv * wv));
        for (float &x : ch) x = c.u(-0.4f, 0.9f) * 2.0f / static_cast<float>(wh);
        for (float &x : cv) x = c.u(-0.4f, 0.9f) * 2.0f / static_cast<float>(wv);
        t.reset(kl_resample_create_general(ch.data(), cv.data(), ph, pv, wh, wv, t8, edgeH, edgeV));
    }
    c.expect(t != nullptr, "no table");
    if (!t) return;
    kl_image s = c.src(type, n, sw, sh, 1, m);
    s.bmask = (1 << n) - 1;
    kl_image d = c.dst(type, n, c.r(1, 140), c.r(1, 30));
    d.bmask = c.one_in(2) ? (1 << n) - 1 : c.r(1, (1 << n) - 1);
    d.fb = n == 4 && c.one_in(2);
    const int mask = c.one_in(3) ? c.r(0, 15) : -1;
    const bool fast_paths = !c.one_in(4);
    c.seal();
    ref_scale(mask, c.twin(d), s, xs, ys, xt, yt, *t, fast_paths);
    do_special_cases = fast_paths;
    int done;
    if (c.one_in(2)) {
        done = kl_scale(mask, &d, &s, xs, ys, xt, yt, t.get());
    } else {
        const long bytes = kl_scale_worksize(mask, &d, &s, xs, ys, xt, yt, t.get());
        unsigned char *work = bytes > 0 ? c.in(static_cast<size_t>(bytes), 8, 1) : nullptr;
        done = bytes < 0 ? 0 : kl_scale_work(mask, &d, &s, xs, ys, xt, yt, t.get(), work);
    }
    do_special_cases = 1;
    c.expect(done == 1, "kl_scale did not finish");
}

// ---- The harness ---------------------------------------------------------------

// A row: its cases, and how many of the first draw large images (one per kernel).
struct Row {
    const char *name;
    int cases, bigs;
    void (*run)(Case &);
};

const Row kRows[] = {
    {"two_source", 3400, 17, two_source},    {"constants", 2600, 13, constants},
    {"copy_band", 2400, 5, copy_band},       {"row_copies", 4000, 8, row_copies},
    {"lookups", 2800, 0, lookups},           {"flips", 1800, 0, flips},
    {"block_transpose", 500, 0, block_transpose}, {"quick_zoom", 1200, 0, quick_zoom},
    {"threshold_feed", 1600, 0, threshold_feed},  {"setval_combine", 900, 0, setval_combine},
    {"convolution", 1800, 0, convolution},   {"affine", 1700, 0, affine},
    {"resample", 2400, 0, resample},
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class Property : public ::testing::TestWithParam<Row> {};

TEST_P(Property, KernelsMatchTheirModels) {
    const Row &row = GetParam();
    const char *scale = std::getenv("WREN_PROPERTY_CASES"), *one = std::getenv("WREN_PROPERTY_CASE");
    const long n = row.cases * (scale && std::atol(scale) > 0 ? std::atol(scale) : 1);
    const long first = one ? std::atol(one) : 0, last = one ? first + 1 : n;
    const uint32_t base = static_cast<uint32_t>(std::hash<std::string>{}(row.name));
    for (long i = first; i < last; ++i) {
        Case c(base + 7919u * static_cast<uint32_t>(i), static_cast<int>(i), row.bigs);
        row.run(c);
        c.seal();
        ::testing::AssertionResult res = c.check();
        ASSERT_TRUE(res) << row.name << " case " << i << " (replay: WREN_PROPERTY_CASE=" << i << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(Families, Property, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace property_test
