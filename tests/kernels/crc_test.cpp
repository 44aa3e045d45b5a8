// One checksum per kernel family over seeded random cases.
//
// Case i of a family seeds its own generator with (family, i), draws a kernel
// of the family, sizes, destination alignment, line gaps, band counts, band
// masks and parameters, fills every buffer from the seed and calls the kernel.
// The CRC-32 of each destination buffer, canary bytes around the area
// included (and of constant arrays a kernel may rewrite), is folded into the
// family's CRC. Every implementation (the program runs once per
// implementation) must give the CRC recorded below.
//
// WREN_CRC_CASES=n runs n cases per family (default 10000; the CRCs of 10000
// and 100000 cases are recorded, other counts are printed only).
// WREN_CRC_DUMP=file writes "family case crc" per case: comparing the dumps of
// two implementations names the first case that differs, and
// WREN_CRC_CASE=i runs just case i of each family, printing its CRC.
//
// A family joins with a draw function and a row in kFamilies.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"

namespace {

uint32_t crc32(uint32_t crc, const void *data, size_t n) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
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
    void keep(const void *p, size_t n) {
        outs.emplace_back(static_cast<const uint8_t *>(p), static_cast<const uint8_t *>(p) + n);
    }
    uint32_t crc() const {
        uint32_t c = 0;
        for (const auto &o : outs) c = crc32(c, o.data(), o.size());
        return c;
    }

    int mask() { return one_in(3) ? 15 : one_in(6) ? r(0, 255) : r(0, 15); }
    int width() { return one_in(10) ? r(0, 8) : r(0, 300); }
    // An image of w x h pixels of n samples of sb bytes: a destination (with
    // its drawn alignment and line gap) or a source.
    kl_image image(bool dst, int type, int n, int w, int h) {
        const int sb = type == KL_SHORT ? 2 : 1;
        const size_t row = static_cast<size_t>(w) * n * sb;
        int lb = static_cast<int>(row) + r(0, 24) / sb * sb;
        if (lb == 0) lb = sb;
        const size_t bytes = static_cast<size_t>(lb) * (h - 1) + row;
        uint8_t *p = dst ? dest(bytes, r(0, 63) / sb * sb) : source(bytes);
        return kbuf::make_image(type, n, one_in(4) ? r(0, 15) : 15, p, lb, w, h);
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
    using Plain = void (*)(kl_image *, kl_image *, int, int, void *);
    using Lut = void (*)(kl_image *, kl_image *, const unsigned char *, int, int, void *);
    struct Form {
        int f, sb;
        Plain plain;
        Lut lut;
        bool moved;
    };
    static const Form forms[] = {
        {2, 1, klqdx_scale2x_8, nullptr, false},
        {2, 1, klqdx_scale2x_8_0, nullptr, false},
        {2, 1, klqdx_scale2x_8_1, nullptr, false},
        {4, 1, klqdx_scale4x_8, nullptr, false},
        {2, 1, nullptr, klqdx_scale2x_8_lookup_8_8, false},
        {2, 1, nullptr, kl_scale_2x_bilinear_8_1_lookup_8_8_1_E, false},
        {2, 1, nullptr, kl_scale_2x_bilinear_8_1_lookup_8_8_1_O, false},
        {4, 1, nullptr, klqdx_scale4x_8_lookup_8_8, false},
        {2, 2, nullptr, klqdx_scale2x_16_lookup_16_8, false},
        {2, 2, nullptr, kl_scale_2x_bilinear_16_1_lookup_16_8_1_E, true},
        {2, 2, nullptr, kl_scale_2x_bilinear_16_1_lookup_16_8_1_O, true},
        {4, 2, nullptr, klqdx_scale4x_16_lookup_16_8, false},
    };
    const Form &fm = forms[c.r(0, 11)];
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
};

class Crc : public ::testing::TestWithParam<Family> {};

TEST_P(Crc, EveryImplementationGivesTheRecordedSum) {
    const Family &fam = GetParam();
    const char *n_env = std::getenv("WREN_CRC_CASES"), *one = std::getenv("WREN_CRC_CASE");
    const char *dump_path = std::getenv("WREN_CRC_DUMP");
    const long cases = n_env && std::atol(n_env) > 0 ? std::atol(n_env) : 10000;
    const long first = one ? std::atol(one) : 0, last = one ? first + 1 : cases;
    FILE *dump = dump_path ? std::fopen(dump_path, "a") : nullptr;
    const uint32_t fam_seed = crc32(0, fam.name, std::strlen(fam.name));
    uint32_t sum = 0;
    for (long i = first; i < last; ++i) {
        Case c(fam_seed ^ static_cast<uint32_t>(i * 2654435761u));
        fam.draw(c);
        const uint32_t k = c.crc();
        sum = crc32(sum, &k, sizeof k);
        if (dump) std::fprintf(dump, "%s %ld %08x\n", fam.name, i, k);
        if (one) std::printf("%s case %ld: crc %08x\n", fam.name, i, k);
    }
    if (dump) std::fclose(dump);
    std::printf("%s: %ld cases under %s, crc %08x\n", fam.name, last - first, kl_implementation(), sum);
    if (one) return;
    if (cases == 10000) EXPECT_EQ(sum, fam.sample_crc) << std::hex << fam.name;
    if (cases == 100000) EXPECT_EQ(sum, fam.full_crc) << std::hex << fam.name;
}

INSTANTIATE_TEST_SUITE_P(Families, Crc, ::testing::ValuesIn(kFamilies), [](const auto &info) {
    std::string s = info.param.name;
    for (char &ch : s)
        if (ch == ' ') ch = '_';
    return s;
});

}  // namespace
