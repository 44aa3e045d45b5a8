// The lookup kernels against the per-sample model: every kernel and band
// count, every band mask, widths 0-70 and large, every destination alignment
// the band count allows (and odd ones), 8- and 16-bit sources with the
// extreme samples, canaries around and between destination rows, sources and
// tables against guard pages, unselected tables absent. OpenCV's LUT is a
// second oracle for the 8-bit kernels.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <cstring>
#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"
#include "ref_lookup.h"

namespace {

using Single = void (*)(int, kl_image *, kl_image *, unsigned char *);
using Multi = void (*)(int, kl_image *, kl_image *, unsigned char **);

struct Kernel {
    const char *name;
    int sb;    // source sample bytes
    int n;     // destination bands it is called with
    Single single;
    Multi multi;
};

const Kernel kKernels[] = {
    {"kl_lookup8_8", 1, 1, kl_lookup8_8, nullptr},      {"kl_lookup8_8", 1, 2, kl_lookup8_8, nullptr},
    {"kl_lookup8_8", 1, 3, kl_lookup8_8, nullptr},      {"kl_lookup8_8", 1, 4, kl_lookup8_8, nullptr},
    {"kl_lookup8_8_1", 1, 1, kl_lookup8_8_1, nullptr},  {"kl_lookup8_8_2", 1, 2, kl_lookup8_8_2, nullptr},
    {"kl_lookup8_8_3", 1, 3, kl_lookup8_8_3, nullptr},  {"kl_lookup8_8_4", 1, 4, kl_lookup8_8_4, nullptr},
    {"kl_lookup16_8", 2, 1, kl_lookup16_8, nullptr},    {"kl_lookup16_8", 2, 2, kl_lookup16_8, nullptr},
    {"kl_lookup16_8", 2, 3, kl_lookup16_8, nullptr},    {"kl_lookup16_8", 2, 4, kl_lookup16_8, nullptr},
    {"kl_mlookup8_8", 1, 1, nullptr, kl_mlookup8_8},    {"kl_mlookup8_8", 1, 2, nullptr, kl_mlookup8_8},
    {"kl_mlookup8_8", 1, 3, nullptr, kl_mlookup8_8},    {"kl_mlookup8_8", 1, 4, nullptr, kl_mlookup8_8},
    {"kl_mlookup8_8_2", 1, 2, nullptr, kl_mlookup8_8_2}, {"kl_mlookup8_8_3", 1, 3, nullptr, kl_mlookup8_8_3},
    {"kl_mlookup8_8_4", 1, 4, nullptr, kl_mlookup8_8_4}, {"kl_mlookup16_8", 2, 1, nullptr, kl_mlookup16_8},
    {"kl_mlookup16_8", 2, 2, nullptr, kl_mlookup16_8},  {"kl_mlookup16_8", 2, 3, nullptr, kl_mlookup16_8},
    {"kl_mlookup16_8", 2, 4, nullptr, kl_mlookup16_8},  {"kl_mlookup16_8_2", 2, 2, nullptr, kl_mlookup16_8_2},
    {"kl_mlookup16_8_3", 2, 3, nullptr, kl_mlookup16_8_3}, {"kl_mlookup16_8_4", 2, 4, nullptr, kl_mlookup16_8_4},
};

int entries(int sb) { return sb == 1 ? 256 : 65536; }
int entry_size(int n) { return n == 3 ? 4 : n; }
bool selected(int n, int m, int b) { return (m >> (n - 1 - b)) & 1; }

// The tables of one kernel, each ending against a guard page (or starting
// right after one): a single table of entries x entry size bytes, or one
// one-byte table per band.
struct Tables {
    std::vector<kbuf::GuardBuf> bufs;
    unsigned char *single = nullptr;
    unsigned char *band[4] = {};
    Tables(const Kernel &k, kbuf::Guard side, uint32_t seed) {
        const size_t e = static_cast<size_t>(entries(k.sb));
        if (k.single) {
            bufs.emplace_back(e * entry_size(k.n), side);
            single = bufs.back().data();
        } else {
            for (int b = 0; b < k.n; ++b) {
                bufs.emplace_back(e, side);
                band[b] = bufs.back().data();
            }
        }
        for (auto &b : bufs) kbuf::fill_random(b.data(), b.size(), seed++);
    }
};

// A source whose samples are random, with the extreme values sprinkled in.
void sprinkle(kbuf::GuardImage &s, int sb, int samples_per_row, std::mt19937 &g) {
    static const int16_t kExtremes[] = {-32768, 32767, 0, -1};
    for (int y = 0; y < s.h(); ++y)
        for (int i = 0; i < samples_per_row; ++i)
            if (g() % 5 == 0) {
                if (sb == 2) {
                    std::memcpy(s.row(y) + 2 * i, &kExtremes[g() % 4], 2);
                } else {
                    s.row(y)[i] = g() % 2 ? 0 : 255;
                }
            }
}

struct Case {
    const Kernel *k;
    int mask, dmask, w, h, align;
    kbuf::Guard side;
};

std::ostream &operator<<(std::ostream &o, const Case &c) {
    return o << c.k->name << " into " << c.k->n << " bands, mask " << c.mask << " dmask " << c.dmask << " w "
             << c.w << " h " << c.h << " dst mod 64 " << c.align;
}

void run(const Case &c, const Tables &t, std::mt19937 &g) {
    const Kernel &k = *c.k;
    const int sbands = k.single ? 1 : k.n;
    const size_t drow = static_cast<size_t>(c.w) * k.n, srow = static_cast<size_t>(c.w) * sbands * k.sb;
    // Row strides keep every row at the alignment of the first.
    const int unit = k.n == 2 ? 2 : k.n == 4 ? 4 : 1;
    const size_t dlb = drow + unit * (g() % 6), slb = srow + k.sb * (g() % 6);
    kbuf::DstBuf d(drow, c.h, c.align, dlb, g());
    kbuf::GuardImage s(srow, c.h, slb, c.side, g());
    sprinkle(s, k.sb, c.w * sbands, g);
    const std::vector<unsigned char> before = s.bytes();
    kl_image di = d.image(KL_BYTE, k.n, c.dmask, c.w);
    kl_image si = s.image(k.sb == 1 ? KL_BYTE : KL_SHORT, sbands, (1 << sbands) - 1, c.w);
    kl_image de = di;
    de.data = d.exp_data();
    // Tables of unselected bands are absent: the kernel must not read them.
    unsigned char *tabs[4] = {};
    const int m = c.mask & c.dmask;
    for (int b = 0; b < k.n; ++b)
        if (k.n == 1 || selected(k.n, m, b)) tabs[b] = t.band[b];
    if (k.single) {
        ref::lookup(k.sb, c.mask, de, si, t.single);
        k.single(c.mask, &di, &si, t.single);
    } else {
        ref::mlookup(k.sb, c.mask, de, si, tabs);
        k.multi(c.mask, &di, &si, tabs);
    }
    ASSERT_TRUE(d.check()) << c;
    ASSERT_TRUE(s.bytes() == before) << "source changed: " << c;
}

TEST(Lookup, MatchesModelOverWidthsMasksAndAlignments) {
    std::mt19937 g(4242);
    for (const Kernel &k : kKernels) {
        for (kbuf::Guard side : {kbuf::Guard::After, kbuf::Guard::Before}) {
            const Tables t(k, side, g());
            const int full = (1 << k.n) - 1, unit = k.n == 2 ? 2 : k.n == 4 ? 4 : 1;
            for (int mask = 0; mask < 16; ++mask) {
                for (int w = 0; w <= 70; w += side == kbuf::Guard::After ? 1 : 3) {
                    const int dmask = g() % 3 ? full : static_cast<int>(g() % 16) & full;
                    const int align = static_cast<int>(g() % (64 / unit)) * unit;
                    ASSERT_NO_FATAL_FAILURE(run({&k, mask, dmask, w, 1 + static_cast<int>(g() % 3), align, side}, t, g));
                }
                const int big = 1000 + static_cast<int>(g() % 3000);
                ASSERT_NO_FATAL_FAILURE(run({&k, mask, full, big, 2, static_cast<int>(g() % 8) * unit % 64, side}, t, g));
            }
        }
    }
}

// Every destination address mod 8 the band count allows, over the widths
// where lead-in, whole words and tail meet.
TEST(Lookup, EveryAlignmentModEight) {
    std::mt19937 g(77);
    for (const Kernel &k : kKernels) {
        const Tables t(k, kbuf::Guard::After, g());
        const int unit = k.n == 2 ? 2 : k.n == 4 ? 4 : 1, full = (1 << k.n) - 1;
        for (int a = 0; a < 8; a += unit)
            for (int w : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 33, 40, 41})
                for (int mask : {full, full & 5, full & 2})
                    ASSERT_NO_FATAL_FAILURE(run({&k, mask, full, w, 2, 8 + a, kbuf::Guard::After}, t, g));
    }
}

// Nothing is written for an empty area, a band count outside 1-4, a
// destination smaller than the source, a wrong sample type or source band
// count, or missing tables.
TEST(Lookup, WritesNothingWhenItCannot) {
    std::mt19937 g(5);
    static unsigned char table[65536 * 4] = {};
    unsigned char *tabs[4] = {table, table, table, table};
    struct Bad {
        const char *what;
        int dbands, w, h, dw, dh, stype, sbands;
        bool null_tables;
    };
    const Bad bad[] = {
        {"w 0", 1, 0, 3, 0, 3, KL_BYTE, 1, false},     {"h 0", 1, 5, 0, 5, 0, KL_BYTE, 1, false},
        {"bands 0", 0, 5, 2, 5, 2, KL_BYTE, 1, false}, {"bands 5", 5, 5, 2, 5, 2, KL_BYTE, 1, false},
        {"narrow dst", 1, 9, 2, 8, 2, KL_BYTE, 1, false}, {"short dst", 4, 9, 3, 9, 2, KL_BYTE, 1, false},
        {"16-bit src", 1, 9, 2, 9, 2, KL_SHORT, 1, false}, {"3-band src", 4, 9, 2, 9, 2, KL_BYTE, 3, false},
        {"no tables", 4, 9, 2, 9, 2, KL_BYTE, 4, true},
    };
    for (const Bad &b : bad) {
        const int db = b.dbands < 1 ? 1 : b.dbands;
        kbuf::DstBuf d(static_cast<size_t>(b.dw) * db + 8, 3, 0, static_cast<size_t>(b.dw) * db + 8, g());
        std::vector<unsigned char> src(4096, 7);
        kl_image di = d.image(KL_BYTE, b.dbands, 15, b.dw);
        di.h = b.dh;
        kl_image si = kbuf::make_image(b.stype, b.sbands, 15, src.data(), 256, b.w, b.h);
        if (b.sbands == 1) {
            kl_lookup8_8(15, &di, &si, b.null_tables ? nullptr : table);
        } else {
            kl_mlookup8_8(15, &di, &si, b.null_tables ? nullptr : tabs);
        }
        EXPECT_TRUE(d.check()) << b.what;
    }
}

// 16-bit sources: -32768 reads the first entry, 32767 the last, 0 the one
// 32768 places on; for 1 to 4 bands (3 bands in bytes 1-3 of 4).
TEST(Lookup, SixteenBitExtremesPickTheEndEntries) {
    for (int n = 1; n <= 4; ++n) {
        const int es = entry_size(n);
        std::vector<unsigned char> table(65536 * es);
        for (int b = 0; b < es; ++b) {
            table[b] = static_cast<unsigned char>(0x10 + b);
            table[32768 * es + b] = static_cast<unsigned char>(0x20 + b);
            table[65535 * es + b] = static_cast<unsigned char>(0x30 + b);
        }
        const int16_t samples[] = {-32768, 0, 32767};
        std::vector<unsigned char> out(3 * n, 0xee);
        kl_image si = kbuf::make_image(KL_SHORT, 1, 1, const_cast<int16_t *>(samples), 6, 3, 1);
        kl_image di = kbuf::make_image(KL_BYTE, n, 15, out.data(), 3 * n, 3, 1);
        kl_lookup16_8(15, &di, &si, table.data());
        const int first = n == 3 ? 1 : 0;
        for (int x = 0; x < 3; ++x)
            for (int b = 0; b < n; ++b) EXPECT_EQ(out[x * n + b], 0x10 * (x + 1) + first + b) << n << " " << x;
    }
}

// A 3-band single table whose first byte is the last byte of an inaccessible
// page: byte 0 of an entry is never read, whatever the sample values.
TEST(Lookup, ThreeBandEntriesNeverReadByteZero) {
    std::mt19937 g(9);
    for (int sb : {1, 2}) {
        const size_t size = static_cast<size_t>(entries(sb)) * 4;
        kbuf::GuardBuf buf(size - 1, kbuf::Guard::Before);
        kbuf::fill_random(buf.data(), buf.size(), 3);
        unsigned char *table = buf.data() - 1;  // entry 0's byte 0 is not readable
        for (int w : {1, 7, 8, 9, 31, 64}) {
            for (int mask : {7, 5, 2, 1}) {
                kbuf::GuardImage s(static_cast<size_t>(w) * sb, 2, static_cast<size_t>(w) * sb, kbuf::Guard::After, g());
                for (int y = 0; y < 2; ++y)
                    for (int x = 0; x < w; ++x) {
                        if (sb == 1) {
                            s.row(y)[x] = 0;
                        } else {
                            const int16_t v = -32768;
                            std::memcpy(s.row(y) + 2 * x, &v, 2);
                        }
                    }
                kbuf::DstBuf d(static_cast<size_t>(w) * 3, 2, static_cast<int>(g() % 64), static_cast<size_t>(w) * 3, g());
                kl_image di = d.image(KL_BYTE, 3, 7, w), de = di;
                de.data = d.exp_data();
                kl_image si = s.image(sb == 1 ? KL_BYTE : KL_SHORT, 1, 1, w);
                ref::lookup(sb, mask, de, si, table);
                (sb == 1 ? kl_lookup8_8 : kl_lookup16_8)(mask, &di, &si, table);
                ASSERT_TRUE(d.check()) << "sb " << sb << " w " << w << " mask " << mask;
            }
        }
    }
}

// ---- OpenCV's LUT as a second oracle ----------------------------------------

cv::Mat random_mat(int h, int w, int type, uint32_t seed) {
    cv::Mat m(h, w, type);
    for (int j = 0; j < h; ++j) kbuf::fill_random(m.ptr(j), m.cols * m.elemSize(), seed + j);
    return m;
}

kl_image desc(const cv::Mat &m, int bands) {
    return kbuf::make_image(KL_BYTE, bands, (1 << bands) - 1, const_cast<unsigned char *>(m.data),
                            static_cast<int>(m.step[0]), m.cols, m.rows);
}

TEST(LookupOpenCV, SingleAndPerBandTablesMatchLUT) {
    const int sizes[][2] = {{1, 1}, {7, 3}, {64, 2}, {101, 5}, {333, 7}, {1920, 4}};
    for (int n : {1, 3, 4}) {
        for (const auto &s : sizes) {
            cv::Mat src = random_mat(s[1], s[0], CV_8UC(n), 11);
            cv::Mat lut = random_mat(1, 256, CV_8UC(n), 12), want;
            cv::LUT(src, lut, want);
            cv::Mat got = random_mat(s[1], s[0], CV_8UC(n), 13);
            kl_image ks = desc(src, n), kd = desc(got, n);
            if (n == 1) {
                kl_lookup8_8(0, &kd, &ks, lut.data);
            } else {
                // A LUT of n channels holds the n per-band tables interleaved.
                std::vector<unsigned char> t(256 * n);
                unsigned char *tabs[4] = {};
                for (int b = 0; b < n; ++b) {
                    tabs[b] = t.data() + 256 * b;
                    for (int v = 0; v < 256; ++v) tabs[b][v] = lut.data[v * n + b];
                }
                kl_mlookup8_8(15, &kd, &ks, tabs);
            }
            EXPECT_EQ(cv::norm(got, want, cv::NORM_INF), 0) << n << " bands, " << s[0] << "x" << s[1];
        }
    }
}

}  // namespace
