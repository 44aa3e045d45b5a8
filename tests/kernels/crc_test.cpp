// One checksum per kernel family over seeded random cases: the bytes every
// implementation (the program runs once per implementation) must give.
// Case i of a family seeds its own generator with (family, i), draws a kernel,
// sizes, alignment, line gaps, bands, masks and parameters, fills the buffers
// and calls the kernel; the CRC-32 of each destination buffer (canaries around
// the area included), of constants a kernel may rewrite and of results is
// folded into the family's CRC. Sources, row offsets and workspaces hold
// exactly their bytes, so that the address sanitizer reports a read past them.
// WREN_CRC_CASES=n runs n cases per family (10000 and 100000 are recorded).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "draws.h"
#include "kbuf.h"
#include "wren_feed.h"

namespace {

uint32_t crc32(uint32_t crc, const void *data, size_t n) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            t[i] = i;
            for (int k = 0; k < 8; ++k) t[i] = t[i] & 1 ? 0xedb88320u ^ (t[i] >> 1) : t[i] >> 1;
        }
        return t;
    }();
    const auto *p = static_cast<const uint8_t *>(data);
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

// Random bytes for tables, made once; a case takes them from a drawn offset.
const uint8_t *pool(size_t need, uint32_t at) {
    static const std::vector<uint8_t> p = [] {
        std::vector<uint8_t> v(size_t{1} << 20);
        kbuf::fill_random(v.data(), v.size(), 42);
        return v;
    }();
    return p.data() + at % (p.size() - need);
}

// The buffers of one case: destinations (with 64 canary bytes before and
// after the area, at the drawn alignment) and sources of exactly their bytes.
struct Case {
    std::mt19937 g;
    std::vector<std::vector<uint8_t>> outs, ins;
    explicit Case(uint32_t seed) : g(seed) {}
    // mt19937's output is fixed by the standard, distributions are not: the sums
    // must not depend on the standard library.
    int r(int lo, int hi) { return lo + static_cast<int>(g() % (static_cast<uint32_t>(hi - lo) + 1)); }
    bool one_in(int n) { return r(0, n - 1) == 0; }

    uint8_t *dest(size_t bytes, int align) {
        outs.emplace_back(bytes + 64 + 64 + 64);
        kbuf::fill_random(outs.back().data(), outs.back().size(), g());
        return outs.back().data() + 64 + align;
    }
    uint8_t *source(size_t bytes) {
        ins.emplace_back(bytes ? bytes : 1);
        kbuf::fill_random(ins.back().data(), ins.back().size(), g());
        return ins.back().data();
    }
    // Something a kernel may have rewritten, summed with the destinations.
    void keep(const void *p, size_t n) { outs.emplace_back(static_cast<const uint8_t *>(p), static_cast<const uint8_t *>(p) + n); }
    uint32_t crc() const {
        uint32_t c = 0;
        for (const auto &o : outs) c = crc32(c, o.data(), o.size());
        return c;
    }

    int mask() { return one_in(3) ? 15 : one_in(6) ? r(0, 255) : r(0, 15); }
    int width() { return one_in(10) ? r(0, 8) : r(0, 300); }
    // A source width now and then off the destination's (a kernel must refuse a narrower one).
    int near(int w) { return one_in(4) ? std::max(w + r(-1, 3), 0) : w; }
    // lo .. hi in steps of (hi - lo) / 2^20.
    float u(float lo, float hi) { return lo + (hi - lo) * (static_cast<float>(r(0, 1 << 20)) / 1048576.0f); }
    // An image of w x h pixels (h >= 1) of n samples of sb bytes: a
    // destination (with its drawn alignment and line gap) or a source.
    // Addresses and line bytes are multiples of unit (at least sb).
    kl_image image(bool dst, int type, int n, int w, int h, int unit = 1) {
        const int sb = type == KL_SHORT ? 2 : 1;
        unit = unit > sb ? unit : sb;
        const size_t row = static_cast<size_t>(w) * n * sb;
        int lb = (static_cast<int>(row) + r(0, 24) / unit * unit + unit - 1) / unit * unit;
        if (lb == 0) lb = unit;
        const size_t bytes = static_cast<size_t>(lb) * (h - 1) + row;
        uint8_t *p = dst ? dest(bytes, r(0, 63) / unit * unit) : source(bytes);
        return kbuf::make_image(type, n, one_in(4) ? r(0, 15) : 15, p, lb, w, h);
    }
    // A source area of w x h pixels with m[0], m[1], m[2] and m[3] readable
    // pixels left, above, right and below it (x, y, padx, pady); the buffer
    // holds just those.
    kl_image framed(int type, int n, int w, int h, const int (&m)[4]) {
        kl_image s = image(false, type, n, m[0] + w + m[2], m[1] + h + m[3]);
        s.data += static_cast<ptrdiff_t>(m[1]) * s.lb + static_cast<ptrdiff_t>(m[0]) * s.bpp;
        s.w = w, s.h = h, s.x = m[0], s.y = m[1], s.padx = m[2], s.pady = m[3];
        return s;
    }
};

// ---- Families --------------------------------------------------------------

void arithmetic(Case &c) {
    using F = void (*)(int, kl_image *, kl_image *, kl_image *);
    static const F f8[] = {kl_add_8, kl_sub_8, kl_mpy_8, kl_max_8, kl_min_8, kl_and_8, kl_or_8, kl_xor_8};
    static const F f16[] = {kl_add_16, kl_sub_16, kl_mpy_16, kl_max_16, kl_min_16, kl_and_16, kl_or_16, kl_xor_16};
    const bool wide = c.one_in(2);
    const int type = wide ? KL_SHORT : KL_BYTE, n = c.r(1, 4), w = c.width(), h = c.r(1, 3);
    kl_image d = c.image(true, type, n, w, h);
    kl_image a = c.image(false, type, c.one_in(30) ? c.r(1, 4) : n, w, h);
    kl_image b = c.image(false, type, n, w, h);
    (wide ? f16 : f8)[c.r(0, 7)](c.mask(), &d, &a, c.one_in(8) ? &d : &b);
}

void constants(Case &c) {
    using F = void (*)(int, kl_image *, kl_image *, short *);
    static const F f8[] = {kl_addk_8, kl_subk_8, kl_ksub_8, kl_andk_8, kl_ork_8, kl_xork_8};
    static const F f16[] = {kl_addk_16, kl_subk_16, kl_ksub_16, kl_andk_16, kl_ork_16, kl_xork_16};
    const int which = c.r(0, 13);
    const bool wide = which >= 6 && which != 12;
    const int type = wide ? KL_SHORT : KL_BYTE, n = c.r(1, 4), w = c.width(), h = c.r(1, 3);
    kl_image d = c.image(true, type, n, w, h);
    kl_image s = c.image(false, type, c.one_in(30) ? c.r(1, 4) : n, w, h);
    short k[4];
    for (int i = 0; i < 4; ++i)
        k[i] = static_cast<short>(c.one_in(4) ? c.r(-32768, 32767) : wide ? c.r(-3000, 3000) : c.r(-300, 600));
    if (which == 12) {
        const int shift = c.one_in(20) ? c.r(-1, 16) : c.r(0, 15);
        kl_mpyk_8(c.mask(), &d, &s, k, shift, c.r(0, 1));
    } else if (which == 13) {
        kl_abs_16(c.mask(), &d, &s);
    } else {
        (wide ? f16 : f8)[which % 6](c.mask(), &d, &s, k);
    }
    c.keep(k, sizeof k);
}

void copy_band(Case &c) {
    const int which = c.r(0, 11), w = c.width(), h = c.r(1, 3);
    if (which >= 10) {  // the masked row copies
        const int nbytes = c.r(0, 300), dlb = nbytes + c.r(0, 30), slb = nbytes + c.r(0, 30);
        uint8_t *d = c.dest(static_cast<size_t>(dlb) * (h - 1) + nbytes, c.r(0, 63));
        uint8_t *s = c.source(static_cast<size_t>(slb) * (h - 1) + nbytes);
        const unsigned pattern = static_cast<unsigned>(c.r(0, 0xffffff));
        (which == 10 ? kl_mcopy : kl_mcopy_rl)(pattern, d, dlb, nbytes, h, s, slb);
        return;
    }
    const bool wide = which % 2;
    const int type = wide ? KL_SHORT : KL_BYTE;
    const int three_four[] = {1, 3, 4};
    int nd = three_four[c.r(0, 2)], ns = three_four[c.r(0, 2)];
    switch (which / 2) {
    case 1: nd = 1, ns = c.r(2, 4); break;      // extract
    case 2: nd = c.r(2, 4), ns = 1; break;      // insert
    case 3: nd = 4, ns = 3; break;
    case 4: nd = 3, ns = 4; break;
    default: break;
    }
    kl_image d = c.image(true, type, nd, w, h);
    kl_image s = c.image(false, type, c.one_in(30) ? c.r(1, 4) : ns, w, h);
    using F = void (*)(int, kl_image *, kl_image *);
    const F fs[5][2] = {{kl_copy_8, kl_copy_16},
                        {kl_band_extract_8, kl_band_extract_16},
                        {kl_band_insert_8, kl_band_insert_16},
                        {kl_copy8_3_4, kl_copy16_3_4},
                        {kl_copy8_4_3, kl_copy16_4_3}};
    fs[which / 2][wide](c.mask(), &d, &s);
}

void lookup(Case &c) {
    const bool wide = c.one_in(3), multi = c.one_in(2);
    const int type = wide ? KL_SHORT : KL_BYTE, w = c.width(), h = c.r(1, 3), nd = c.r(1, 4);
    const size_t entries = wide ? 65536 : 256;
    kl_image d = c.image(true, KL_BYTE, nd, w, h);
    kl_image s = c.image(false, type, multi ? (c.one_in(30) ? c.r(1, 4) : nd) : 1, w, h);
    auto *table = const_cast<uint8_t *>(pool(entries * 4, c.g()));
    if (multi) {
        uint8_t *tables[4];
        for (uint8_t *&t : tables) t = const_cast<uint8_t *>(pool(entries, c.g()));
        using F = void (*)(int, kl_image *, kl_image *, unsigned char **);
        static const F f8[] = {kl_mlookup8_8, kl_mlookup8_8_2, kl_mlookup8_8_3, kl_mlookup8_8_4};
        static const F f16[] = {kl_mlookup16_8, kl_mlookup16_8_2, kl_mlookup16_8_3, kl_mlookup16_8_4};
        (wide ? f16 : f8)[c.one_in(2) ? 0 : nd - 1](c.mask(), &d, &s, tables);
    } else if (wide) {
        kl_lookup16_8(c.mask(), &d, &s, table);
    } else {
        using F = void (*)(int, kl_image *, kl_image *, unsigned char *);
        static const F f8[] = {kl_lookup8_8, kl_lookup8_8_1, kl_lookup8_8_2, kl_lookup8_8_3, kl_lookup8_8_4};
        f8[c.one_in(2) ? 0 : nd](c.mask(), &d, &s, table);
    }
}

void transpose(Case &c) {
    const bool wide = c.one_in(2);
    const int type = wide ? KL_SHORT : KL_BYTE, sb = wide ? 2 : 1, n = c.r(1, 4);
    const int w = c.one_in(10) ? c.r(0, 3) : c.r(1, 60), h = c.r(1, 12);
    const int flips[] = {0, 1, 5};
    const int flip = c.one_in(20) ? c.r(-1, 7) : flips[c.r(0, 2)];
    kl_image d = c.image(true, type, n, w, h);
    d.bmask = c.mask() & 15;
    kl_image s = c.image(false, type, c.one_in(30) ? c.r(1, 4) : n, w, h);
    // The source pixel that lands on the destination's first: the last row
    // when rows are mirrored, the last pixel of a row when pixels are.
    if (flip == 0 || flip == 5) s.data += static_cast<ptrdiff_t>(h - 1) * s.lb;
    if ((flip == 1 || flip == 5) && w > 0) s.data += static_cast<ptrdiff_t>(w - 1) * s.bands * sb;
    (wide ? kl_transpose_16 : kl_transpose_8)(&d, &s, flip);
}

void quick_zoom(Case &c) {
    const draws::ZoomForm &fm = draws::kZoomForms[c.r(0, 11)];
    const int xphase = c.r(0, fm.f - 1), yphase = c.r(0, fm.f - 1), w = c.r(1, 200), h = c.r(1, 10);
    const int cols = (xphase + w - 1 + fm.f - 1) / fm.f + 1, rows = (yphase + h - 1 + fm.f - 1) / fm.f + 1;
    int dn = 1, dmask = 1, sn = 1, smask = 1;
    if (c.one_in(4)) {
        dn = 4, dmask = 1 << c.r(0, 2);
        sn = c.r(1, 4), smask = 1 << c.r(0, sn - 1);
    }
    kl_image d = c.image(true, KL_BYTE, dn, w, h);
    d.bmask = dmask;
    kl_image s = c.image(false, fm.sb == 2 ? KL_SHORT : KL_BYTE, sn, cols, rows);
    s.bmask = smask;
    std::vector<uint64_t> line(static_cast<size_t>(w) * 2);
    const uint8_t *table = pool(65536, c.g());
    if (fm.plain)
        fm.plain(&s, &d, xphase, yphase, line.data());
    else
        fm.lut(&s, &d, fm.moved ? table + 32768 : table, xphase, yphase, line.data());
}

// The inverse transform of an affine warp: a scaled rotation (by a rational
// point of the circle), now and then the identity, a scaling, a shear, a
// mirror or constant rows, that takes destination position (xc, yc) to a
// drawn point in or near the sw x sh source; now and then one value far
// outside the fixed-point range.
void inverse_transform(Case &c, int sw, int sh, float xc, float yc, float m[6]) {
    const float t = c.u(-1, 1), k = c.u(0.3f, 2.0f), turn = c.one_in(2) ? -1.0f : 1.0f;
    const float cs = turn * (1 - t * t) / (1 + t * t), sn = turn * 2 * t / (1 + t * t);
    m[0] = m[3] = k * cs, m[1] = k * sn, m[2] = -k * sn;
    switch (c.r(0, 9)) {
    case 0: m[0] = m[3] = 1, m[1] = m[2] = 0; break;
    case 1: m[1] = m[2] = 0, m[3] = c.u(0.2f, 3.0f); break;
    case 2: m[2] += c.u(-1, 1); break;
    case 3: m[0] = -m[0]; break;
    case 4: m[0] = m[1] = 0; break;
    default: break;
    }
    m[4] = c.u(-0.3f, 1.3f) * static_cast<float>(sw) - m[0] * xc - m[2] * yc;
    m[5] = c.u(-0.3f, 1.3f) * static_cast<float>(sh) - m[1] * xc - m[3] * yc;
    if (c.one_in(20)) {
        const int at = c.r(0, 5);
        m[at] = c.one_in(3) ? NAN : c.one_in(2) ? 1e9f : -40000.0f;
    }
}

void affine(Case &c) {
    static const draws::AffineTables tables;
    // The dispatcher's layouts: filter, type, source and destination bands,
    // the alignment of addresses and line bytes they need.
    struct Form {
        const char *interp;
        int type, sn, dn, unit;
    };
    static const Form forms[] = {
        {"nearest", KL_BYTE, 1, 1, 1},  {"nearest", KL_BYTE, 3, 3, 1},   {"nearest", KL_BYTE, 3, 4, 4},
        {"nearest", KL_BYTE, 4, 4, 4},  {"nearest", KL_SHORT, 1, 1, 2},  {"nearest", KL_SHORT, 3, 3, 2},
        {"nearest", KL_SHORT, 4, 4, 8}, {"bilinear", KL_BYTE, 1, 1, 1},  {"bilinear", KL_BYTE, 3, 3, 1},
        {"bilinear", KL_BYTE, 3, 4, 4}, {"bilinear", KL_SHORT, 1, 1, 2}, {"bilinear", KL_SHORT, 3, 3, 2},
        {"bicubic", KL_BYTE, 1, 1, 1},  {"bicubic", KL_BYTE, 3, 3, 1},   {"bicubic", KL_BYTE, 3, 4, 4},
        {"bicubic", KL_SHORT, 1, 1, 2}, {"bicubic", KL_SHORT, 3, 3, 2},
    };
    const Form &f = forms[c.r(0, 16)];
    const int unit = c.one_in(40) ? 1 : f.unit;  // now and then a layout the dispatcher refuses
    const int sw = c.one_in(3) ? c.r(1, 90) : c.r(1, 24), sh = c.r(1, 20), dw = c.r(1, 130), dh = c.r(1, 12);
    kl_image s = c.image(false, f.type, f.sn, sw, sh, unit);
    kl_image d = c.image(true, f.type, f.dn, dw, dh, unit);
    if (f.sn > 1) s.bmask = d.bmask = c.one_in(40) ? c.r(0, 15) : (1 << f.sn) - 1;
    d.x = c.one_in(8) ? c.r(-3000, 3000) : c.r(-10, 10);
    d.y = c.one_in(8) ? c.r(-3000, 3000) : c.r(-10, 10);
    auto *ro = reinterpret_cast<int *>(c.source(sizeof(int) * sh));
    const bool upwards = c.one_in(8);
    for (int i = 0; i < sh; ++i) ro[i] = (upwards ? sh - 1 - i : i) * s.lb;
    float m[6];
    inverse_transform(c, sw, sh, static_cast<float>(d.x) + dw * 0.5f, static_cast<float>(d.y) + dh * 0.5f, m);
    const bool wide = f.type == KL_SHORT;
    void *table = !std::strcmp(f.interp, "nearest")    ? nullptr
                  : !std::strcmp(f.interp, "bilinear") ? (wide ? tables.bl16 : tables.bl8)
                                                       : (wide ? tables.bc16 : tables.bc8)[c.r(0, 1)];
    kl_affine(&d, &s, f.interp, ro, table, m[0], m[1], m[2], m[3], m[4], m[5]);
}

// Resample tables from the builders, made once and destroyed at exit:
// by sample layout and kind, every edge mode, general ones of every width.
struct ResampleTables {
    std::vector<kl_resample_table *> t[2][4];
    ResampleTables() {
        Case g(2024);
        for (int wide = 0; wide < 2; ++wide) {
            const int type = wide ? 16 : 8;
            for (int e = 0; e < 3; ++e) {
                t[wide][0].push_back(kl_resample_create_nearest(e));
                t[wide][1].push_back(kl_resample_create_bilinear(256, 256, type, e));
                const int subs[4] = {g.r(1, 300), g.r(1, 300), g.r(1, 300), g.r(1, 300)};
                t[wide][1].push_back(kl_resample_create_bilinear(subs[0], subs[1], type, e));
                t[wide][2].push_back(kl_resample_create_bicubic(256, 256, type, e));
                t[wide][2].push_back(kl_resample_create_bicubic(subs[2], subs[3], type, e));
                for (int wh = 1; wh <= KL_MAXRESAMPLE; ++wh) {
                    const int wv = g.r(1, KL_MAXRESAMPLE), sh = g.r(1, 40), sv = g.r(1, 40);
                    std::vector<float> ch(static_cast<size_t>(sh * wh)), cv(static_cast<size_t>(sv * wv));
                    for (float &x : ch) x = g.u(-0.4f, 0.9f) * 2 / static_cast<float>(wh);
                    for (float &x : cv) x = g.u(-0.4f, 0.9f) * 2 / static_cast<float>(wv);
                    t[wide][3].push_back(
                        kl_resample_create_general(ch.data(), cv.data(), sh, sv, wh, wv, type, e, g.r(0, 2)));
                }
            }
        }
    }
    ~ResampleTables() {
        for (auto &layout : t)
            for (auto &kind : layout)
                for (kl_resample_table *p : kind) kl_resample_destroy(p);
    }
};

// The block helpers of the horizontal pass: rows to column-major words and
// back, and the 4 x 4 transpose of 16-bit samples.
void block_transpose(Case &c) {
    const int which = c.r(0, 4), count = c.one_in(10) ? c.r(-1, 8) : c.r(1, 100), nrows = c.r(0, 9);
    if (which == 4) {
        uint64_t w[4];
        for (uint64_t &x : w) x = c.g(), x = x << 32 | c.g();
        const int stride = c.r(0, 4);
        transpose16_4x4(w[0], w[1], w[2], w[3], c.dest(static_cast<size_t>(24 * stride + 8), c.r(0, 63)), stride);
        return;
    }
    const int sb = which % 2 ? 2 : 1, used = std::min(nrows, sb == 2 ? 4 : 8);
    const size_t bytes = static_cast<size_t>(std::max(count, 0)) * sb, words = bytes / sb * 8;
    std::vector<uint8_t *> rows(static_cast<size_t>(nrows));  // rows past the used ones are not read
    if (which < 2) {
        for (int r = 0; r < used; ++r) rows[static_cast<size_t>(r)] = c.source(bytes);
        auto *block = reinterpret_cast<uint64_t *>(c.dest(words, c.r(0, 7) * 8));
        if (sb == 1)
            transpose_in_8(rows.data(), block, count, nrows);
        else
            transpose_in_16(reinterpret_cast<const int16_t *const *>(rows.data()), block, count, nrows);
    } else {
        const auto *block = reinterpret_cast<const uint64_t *>(c.source(words));
        for (int r = 0; r < used; ++r) rows[static_cast<size_t>(r)] = c.dest(bytes, c.r(0, 63) / sb * sb);
        if (sb == 1)
            transpose_out_8(block, rows.data(), count, nrows);
        else
            transpose_out_16(block, reinterpret_cast<int16_t *const *>(rows.data()), count, nrows);
    }
}

void resample(Case &c) {
    static const ResampleTables tables;
    if (c.one_in(8)) return block_transpose(c);
    static const float scales[] = {2.0f, 2.0f,    1.5f,     0.5f, 3.7f,  1.0f, 0.3f,
                                   2.0001f, 1.0f / 3, 5.0f, 0.73f, 4.0f, 0.25f};
    const bool wide = c.one_in(4);
    const auto &kind = tables.t[c.one_in(50) ? !wide : wide][c.r(0, 3)];  // now and then weights for the other type
    kl_resample_table *table = kind[static_cast<size_t>(c.r(0, static_cast<int>(kind.size()) - 1))];
    const int type = wide ? KL_SHORT : KL_BYTE, n = c.r(1, 4);
    const float xs = scales[c.r(0, 12)], ys = c.one_in(3) ? scales[c.r(0, 12)] : xs;
    const auto trans = [&] {
        if (c.one_in(3)) return -0.5f;
        const float quarter = static_cast<float>(c.r(-80, 80)) * 0.25f - 0.5f;
        return c.one_in(4) ? quarter + 0.13f : quarter;
    };
    const float xt = trans(), yt = trans();
    int margins[4] = {};
    if (c.one_in(2))
        for (int &m : margins) m = c.r(0, 3);
    const int sw = c.r(1, 40), sh = c.r(1, 24), dw = c.r(1, 70), dh = c.r(1, 30);
    kl_image s = c.framed(type, n, sw, sh, margins);
    kl_image d = c.image(true, type, n, dw, dh);
    d.fb = n == 4 && c.one_in(2);
    const int mask = c.one_in(3) ? c.mask() : -1;
    do_special_cases = !c.one_in(4);  // the general path also for what a faster path takes
    int done;
    if (c.one_in(2)) {
        done = kl_scale(mask, &d, &s, xs, ys, xt, yt, table);
    } else {  // with a workspace of exactly the size asked for
        const long bytes = kl_scale_worksize(mask, &d, &s, xs, ys, xt, yt, table);
        void *work = bytes > 0 ? c.source(static_cast<size_t>(bytes)) : nullptr;
        done = bytes < 0 ? -1 : kl_scale_work(mask, &d, &s, xs, ys, xt, yt, table, work);
    }
    do_special_cases = 1;
    c.keep(&done, sizeof done);
}

void convolution(Case &c) {
    using General = void (*)(int, kl_image *, kl_image *, float *, int, int);
    using Separable = void (*)(int, kl_image *, kl_image *, float *, float *, int);
    static const General general[] = {kl_convolve3x3_8, kl_convolve5x5_8, kl_convolve7x7_8};
    static const Separable separable[] = {kl_sconvolve3x3_8, kl_sconvolve5x5_8, kl_sconvolve7x7_8};
    const int size = c.r(0, 2), n = 3 + 2 * size, w = c.width(), h = c.r(1, 9);
    const bool sep = c.one_in(2), multi = c.one_in(4);
    const int dn = multi ? c.r(1, 4) : 1, sn = multi ? c.r(1, 4) : 1, sw = c.one_in(4) ? w + c.r(1, 3) : w;
    int around[4];  // real source pixels around the area, up to the radius and 2 more
    for (int &a : around) a = c.r(0, n / 2 + 2);
    kl_image d = c.image(true, KL_BYTE, dn, w, h);
    kl_image s = c.framed(KL_BYTE, sn, sw, h, around);
    const int edge = c.one_in(17) ? c.r(-1, 7) : c.r(0, sep ? 2 : 1);
    float k[49] = {}, hv[2][7] = {};
    draws::convolution_coefficients(c, k, hv, n);
    const int mask = multi || c.one_in(8) ? c.mask() : 1;
    if (sep)
        separable[size](mask, &d, &s, hv[0], hv[1], edge);
    else
        general[size](mask, &d, &s, k, edge, 1);
    c.keep(k, sizeof k);
    c.keep(hv, sizeof hv);
}

void threshold_rescale(Case &c) {
    const int which = c.r(0, 3), w = c.width();
    const bool wide = which % 2;
    const int type = wide ? KL_SHORT : KL_BYTE;
    if (which >= 2) {  // the feed: a word per 8-byte slot, rows 16384 bytes apart whatever lb says;
                       // now and then more bands or a smaller source (nothing written)
        const int h = c.r(1, 2), dn = c.one_in(20) ? c.r(1, 4) : 1, sn = c.one_in(20) ? c.r(1, 4) : 1;
        uint8_t *slots = c.dest(static_cast<size_t>(16384 * (h - 1) + 8 * w), c.r(0, 63));
        kl_image d = kbuf::make_image(KL_BYTE, dn, 1, slots, c.r(1, 1000), w, h);
        const int sw = c.near(w), sh = c.one_in(4) ? c.r(1, 3) : h;
        kl_image s = c.image(false, type, sn, sw, sh);
        (wide ? kl_rescale_wren_16 : kl_rescale_wren_8)(&d, &s);
        return;
    }
    const int n = c.r(1, 4), h = c.r(1, 3);
    kl_image d = c.image(true, type, n, w, h);
    kl_image s = c.image(false, type, c.one_in(30) ? c.r(1, 4) : n, w, h);
    short lo[4], hi[4], map[4];
    for (int b = 0; b < 4; ++b) {
        lo[b] = draws::threshold_value(c, wide);
        hi[b] = draws::threshold_value(c, wide);
        if (!c.one_in(4) && lo[b] > hi[b]) std::swap(lo[b], hi[b]);  // else now and then an empty interval
        map[b] = draws::threshold_value(c, wide);
    }
    (wide ? kl_threshold_16 : kl_threshold_8)(c.mask(), &d, &s, lo, hi, map);
}

void setval_combine(Case &c) {
    const int which = c.r(0, 2), w = c.width(), h = c.r(1, 3);
    if (which == 2) {  // three one-band images, now and then smaller or of more bands (nothing written)
        kl_image d = c.image(true, KL_BYTE, c.one_in(30) ? c.r(1, 3) : 4, w, h), b[3];
        for (kl_image &s : b) {
            const int sw = c.near(w), sh = c.one_in(4) ? c.r(1, 4) : h;
            s = c.image(false, KL_BYTE, c.one_in(30) ? c.r(2, 4) : 1, sw, sh);
        }
        kl_combine_wren(&d, &b[0], &b[1], &b[2]);
        return;
    }
    kl_image d = c.image(true, which ? KL_SHORT : KL_BYTE, c.r(1, 4), w, h);
    short v[4];
    for (short &x : v) x = static_cast<short>(c.one_in(4) ? c.r(-32768, 32767) : c.r(-150, 450));
    (which ? kl_setval_16 : kl_setval_8)(c.mask(), &d, v);
}

struct Family {
    const char *name;
    void (*draw)(Case &);
    uint32_t sample_crc, full_crc;  // after 10000 and 100000 cases
};

const Family kFamilies[] = {
    {"arithmetic", arithmetic, 0x5d52f7e6, 0x32fc86f8},
    {"constants", constants, 0x11bd3694, 0x0525126f},
    {"copy and band", copy_band, 0x049a558d, 0x4fa257b0},
    {"lookup", lookup, 0x4fe8d9b7, 0x1aabc7ff},
    {"transpose", transpose, 0x05b64334, 0x324dba8b},
    {"quick zoom", quick_zoom, 0xa17017b1, 0xda3b6241},
    {"affine", affine, 0x2635f05c, 0x51e5996e},
    {"resample", resample, 0xd02a546e, 0x3014a44a},
    {"convolution", convolution, 0x9774ede7, 0x7aad9935},
    {"threshold and rescale", threshold_rescale, 0xcfaa201c, 0x2f5f1b9b},
    {"set value and combine", setval_combine, 0xa38b6a2f, 0xc189df9f},
};

class Crc : public ::testing::TestWithParam<Family> {};

TEST_P(Crc, EveryImplementationGivesTheRecordedSum) {
    const Family &fam = GetParam();
    const char *n_env = std::getenv("WREN_CRC_CASES");
    const long cases = n_env && std::atol(n_env) > 0 ? std::atol(n_env) : 10000;
    const uint32_t fam_seed = crc32(0, fam.name, std::strlen(fam.name));
    uint32_t sum = 0;
    for (long i = 0; i < cases; ++i) {
        Case c(fam_seed ^ static_cast<uint32_t>(i * 2654435761u));
        fam.draw(c);
        const uint32_t k = c.crc();
        sum = crc32(sum, &k, sizeof k);
    }
    std::printf("%s: %ld cases under %s, crc %08x\n", fam.name, cases, kl_implementation(), sum);
    if (cases == 10000 || cases == 100000) {
        EXPECT_EQ(sum, cases == 10000 ? fam.sample_crc : fam.full_crc) << std::hex << fam.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Families, Crc, ::testing::ValuesIn(kFamilies), [](const auto &info) {
    std::string s = info.param.name;
    std::replace(s.begin(), s.end(), ' ', '_');
    return s;
});

}  // namespace
