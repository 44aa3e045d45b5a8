// The partitioned primitives against scalar models that work on the bytes of
// memory: a word is its 8 bytes in address order, a 16-bit lane the sample
// stored at two consecutive bytes, a 32-bit lane the value stored at four.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <vector>

#include "lane.h"

namespace {

using Bytes = std::array<uint8_t, 8>;

Bytes bytes_of(uint64_t w) {
    Bytes b;
    std::memcpy(b.data(), &w, 8);
    return b;
}
// Lane i of type L in the bytes of w, and the word whose lanes hold v (modulo).
template <class L, class W>
L lane(W w, int i) {
    L v;
    std::memcpy(&v, reinterpret_cast<const uint8_t *>(&w) + sizeof(L) * i, sizeof(L));
    return v;
}
template <class L, class W = uint64_t>
W pack(std::initializer_list<long long> v) {
    W w = 0;
    int i = 0;
    for (long long x : v) {
        const L l = static_cast<L>(x);
        std::memcpy(reinterpret_cast<uint8_t *>(&w) + sizeof(L) * i++, &l, sizeof(L));
    }
    return w;
}
int16_t s16_at(uint64_t w, int i) { return lane<int16_t>(w, i); }
int32_t s32_at(uint64_t w, int i) { return lane<int32_t>(w, i); }
int16_t s16_of_half(uint32_t h, int i) { return lane<int16_t>(h, i); }
uint64_t from_s16(std::initializer_list<long long> l) { return pack<int16_t>(l); }
uint64_t from_s32(long long w0, long long w1) { return pack<int32_t>({w0, w1}); }
uint32_t s16x2(long l0, long l1) { return pack<int16_t, uint32_t>({l0, l1}); }
uint32_t half_of(const uint8_t *b) {
    uint32_t v;
    std::memcpy(&v, b, 4);
    return v;
}

// Floor of x / 2^k for exact integers, by real division.
long long floor_div(long long x, double d) { return static_cast<long long>(std::floor(static_cast<double>(x) / d)); }
long long clampll(long long v, long long lo, long long hi) { return v < lo ? lo : (v > hi ? hi : v); }

const long kEdge16[] = {-32768, -32767, -4097, -4096, -129, -128, -127, -1, 0, 1, 15, 16, 31,
                        127, 128, 255, 256, 4080, 4095, 4096, 16383, 16384, 32767};

std::vector<uint64_t> lane_words(uint32_t seed, int n) {
    std::mt19937_64 g(seed);
    std::vector<uint64_t> v;
    for (long a : kEdge16)
        for (long b : {kEdge16[0], kEdge16[8], kEdge16[22]}) v.push_back(from_s16({a, b, -a, a ^ 0x55}));
    for (int i = 0; i < n; ++i) v.push_back(g());
    return v;
}

TEST(LaneWiden, ExpandIsSixteenTimesEachByte) {
    std::mt19937 g(1);
    for (int it = 0; it < 2000; ++it) {
        uint8_t a[4];
        uint32_t r = g();
        std::memcpy(a, &r, 4);
        if (it < 256) std::memset(a, it, 4);
        uint64_t e = lane_expand(half_of(a));
        for (int i = 0; i < 4; ++i) ASSERT_EQ(s16_at(e, i), a[i] * 16);
    }
}

TEST(LaneNarrow, Pack16EveryScale) {
    for (unsigned s = 0; s < 16; ++s) {
        for (uint64_t w : lane_words(s << 3, 200)) {
            uint32_t p = lane_pack16(w, s);
            uint8_t b[4];
            std::memcpy(b, &p, 4);
            for (int i = 0; i < 4; ++i) {
                long long want = clampll(floor_div(static_cast<long long>(s16_at(w, i)) << s, 128), 0, 255);
                ASSERT_EQ(b[i], want) << "lane " << s16_at(w, i) << " scale " << s;
            }
        }
    }
}

TEST(LaneNarrow, Pack16Boundaries) {
    auto one = [](long v, unsigned s) { return lane_pack16(from_s16({v, 0, 0, 0}), s) & 0xff; };
    EXPECT_EQ(one(4095, 3), 255u);
    EXPECT_EQ(one(4096, 3), 255u);
    EXPECT_EQ(one(-1, 3), 0u);
    EXPECT_EQ(one(16, 3), 1u);
    EXPECT_EQ(one(31, 3), 1u);
    EXPECT_EQ(one(0x7fff, 0), 255u);
    EXPECT_EQ(one(127, 0), 0u);
    EXPECT_EQ(one(128, 0), 1u);
}

TEST(LaneNarrow, Pack32AppendsBytesInMemoryOrder) {
    std::mt19937_64 g(2);
    for (unsigned s = 0; s < 32; ++s) {
        for (int it = 0; it < 300; ++it) {
            uint64_t acc = g(), v = g();
            if (it % 3 == 0) v = from_s32(static_cast<long long>(g() % 600) - 100, static_cast<long long>(g() % 70000));
            uint64_t r = lane_pack32(acc, v, s);
            Bytes ab = bytes_of(acc), rb = bytes_of(r);
            for (int i = 0; i < 2; ++i) {
                long long c = clampll(floor_div(static_cast<long long>(s32_at(v, i)) * (1LL << s), 8388608.0), 0, 255);
                ASSERT_EQ(rb[4 * i + 0], ab[4 * i + 1]);
                ASSERT_EQ(rb[4 * i + 1], ab[4 * i + 2]);
                ASSERT_EQ(rb[4 * i + 2], ab[4 * i + 3]);
                ASSERT_EQ(rb[4 * i + 3], c) << s32_at(v, i) << " scale " << s;
            }
        }
    }
    // Four calls with 1, 2, 3, 4 (scale 23: value unchanged) gather 01 02 03 04.
    uint64_t acc = 0;
    for (int c = 1; c <= 4; ++c) acc = lane_pack32(acc, from_s32(c, c), 23);
    EXPECT_EQ(bytes_of(acc), (Bytes{1, 2, 3, 4, 1, 2, 3, 4}));
}

TEST(LaneNarrow, PackfixEveryScale) {
    std::mt19937_64 g(3);
    for (unsigned s = 0; s < 32; ++s) {
        for (int it = 0; it < 300; ++it) {
            uint64_t v = g();
            if (it % 2) v = from_s32(static_cast<int32_t>(g()) >> (g() % 31), static_cast<int32_t>(g()) >> (g() % 31));
            uint32_t r = lane_packfix(v, s);
            for (int i = 0; i < 2; ++i) {
                long long want = clampll(floor_div(static_cast<long long>(s32_at(v, i)) * (1LL << s), 65536.0), -32768, 32767);
                ASSERT_EQ(s16_of_half(r, i), want);
            }
        }
    }
    auto one = [](long long v) { return s16_of_half(lane_packfix(from_s32(v, 0), 8), 0); };
    EXPECT_EQ(one(0x7fff00), 32767);
    EXPECT_EQ(one(0x800000), 32767);
    EXPECT_EQ(one(-0x800100), -32768);
}

TEST(LaneMultiply, ByteTimesLane) {
    std::mt19937_64 g(4);
    for (int it = 0; it < 3000; ++it) {
        uint8_t a[4];
        uint32_t ar = static_cast<uint32_t>(g());
        std::memcpy(a, &ar, 4);
        uint64_t b = it < 500 ? lane_words(5, 0)[static_cast<size_t>(it) % 69] : g();
        uint64_t r = lane_mul8x16(half_of(a), b);
        for (int i = 0; i < 4; ++i) ASSERT_EQ(s16_at(r, i), floor_div(a[i] * s16_at(b, i) + 128, 256));
    }
    auto one = [](uint32_t a, long b) { return s16_at(lane_mul8x16(a, from_s16({b, 0, 0, 0})), 0); };
    EXPECT_EQ(one(255, 256), 255);
    EXPECT_EQ(one(1, 128), 1);
    EXPECT_EQ(one(1, -128), 0);
    EXPECT_EQ(one(1, -129), -1);
}

TEST(LaneMultiply, SplitProducts) {
    std::mt19937_64 g(6);
    for (int it = 0; it < 3000; ++it) {
        uint64_t a = g(), b = g();
        const uint32_t ha = static_cast<uint32_t>(a), hb = static_cast<uint32_t>(b >> 32);
        uint64_t dsu = lane_muld8sux16(ha, hb), dul = lane_muld8ulx16(ha, hb);
        for (int i = 0; i < 2; ++i) {
            long long ai = s16_of_half(ha, i), bi = s16_of_half(hb, i);
            long long hi = floor_div(ai, 256);
            ASSERT_EQ(s32_at(dsu, i), hi * bi * 256);
            ASSERT_EQ(s32_at(dul, i), (ai - hi * 256) * bi);
            // The two halves add up to the exact product.
            ASSERT_EQ(s32_at(lane_add32(dsu, dul), i), ai * bi);
        }
    }
    // Widening by the scale word gives b * 256.
    const uint32_t b = s16x2(-32768, 12345);
    uint64_t w = lane_muld8sux16(0x01000100u, b);
    EXPECT_EQ(s32_at(w, 0), -32768 * 256);
    EXPECT_EQ(s32_at(w, 1), 12345 * 256);
}

TEST(LaneAddSub, ModularPerLane) {
    std::mt19937_64 g(7);
    for (int it = 0; it < 5000; ++it) {
        uint64_t a = g(), b = g();
        if (it < 100) a |= 0x8000800080008000ull, b |= (it & 1) ? 0x8000800080008000ull : 0;
        uint64_t a16 = lane_add16(a, b), s16 = lane_sub16(a, b);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(static_cast<uint16_t>(s16_at(a16, i)), static_cast<uint16_t>(s16_at(a, i) + s16_at(b, i)));
            ASSERT_EQ(static_cast<uint16_t>(s16_at(s16, i)), static_cast<uint16_t>(s16_at(a, i) - s16_at(b, i)));
        }
        uint64_t a32 = lane_add32(a, b), s32 = lane_sub32(a, b);
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(static_cast<uint32_t>(s32_at(a32, i)),
                      static_cast<uint32_t>(static_cast<int64_t>(s32_at(a, i)) + s32_at(b, i)));
            ASSERT_EQ(static_cast<uint32_t>(s32_at(s32, i)),
                      static_cast<uint32_t>(static_cast<int64_t>(s32_at(a, i)) - s32_at(b, i)));
        }
        ASSERT_EQ(lane_add32(static_cast<uint32_t>(a), static_cast<uint32_t>(b)),
                  static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    }
}

TEST(LaneCompare, BitThreeIsFirstLane) {
    std::mt19937_64 g(8);
    for (int it = 0; it < 3000; ++it) {
        uint64_t a = g(), b = it % 4 ? g() : a ^ (g() & 0x0001000000010000ull);
        unsigned gt = lane_cmp16_gt(a, b), le = lane_cmp16_le(a, b);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ((gt >> (3 - i)) & 1, static_cast<unsigned>(s16_at(a, i) > s16_at(b, i)));
            ASSERT_EQ((le >> (3 - i)) & 1, static_cast<unsigned>(s16_at(a, i) <= s16_at(b, i)));
        }
    }
}

TEST(LaneRearrange, MergeInterleaves) {
    std::mt19937 g(9);
    for (int it = 0; it < 1000; ++it) {
        uint8_t a[4], b[4];
        uint32_t x = g(), y = g();
        std::memcpy(a, &x, 4);
        std::memcpy(b, &y, 4);
        EXPECT_EQ(bytes_of(lane_merge(x, y)), (Bytes{a[0], b[0], a[1], b[1], a[2], b[2], a[3], b[3]}));
    }
}

TEST(LaneEdge, EveryPairWithinTwoWords) {
    for (uintptr_t base : {uintptr_t{0x1000}, uintptr_t{0x7ff8}}) {
        for (uintptr_t F = base; F < base + 16; ++F) {
            for (uintptr_t E = F; E < base + 16; ++E) {
                const uintptr_t W = F & ~uintptr_t{7};
                unsigned m8 = 0;
                for (unsigned b = 0; b < 8; ++b)
                    if (W + b >= F && (W + b <= E || (E >> 3) != (F >> 3))) m8 |= 0x80u >> b;
                ASSERT_EQ(lane_edge8(F, E), m8) << F - base << " " << E - base;
            }
        }
    }
    EXPECT_EQ(lane_edge8(3, 5), 0x1cu);
    EXPECT_EQ(lane_edge8(3, 9), 0x1fu);
}

TEST(LaneMasks, ByteAndLaneMasks) {
    for (unsigned m = 0; m < 256; ++m) {
        Bytes b = bytes_of(lane_bytemask8(m));
        for (int k = 0; k < 8; ++k) ASSERT_EQ(b[k], (m >> (7 - k)) & 1 ? 0xff : 0);
    }
    for (unsigned m = 0; m < 16; ++m) {
        uint64_t w = lane_lanemask16(m);
        for (int k = 0; k < 4; ++k) ASSERT_EQ(s16_at(w, k), (m >> (3 - k)) & 1 ? -1 : 0);
    }
}

TEST(LaneStore, PartialStoreEveryMaskOverCanaries) {
    std::mt19937_64 g(10);
    alignas(8) uint8_t mem[24], before[24];
    for (const bool lanes : {false, true}) {
        for (unsigned m = 0; m < (lanes ? 16u : 256u); ++m) {
            for (int i = 0; i < 24; ++i) mem[i] = before[i] = static_cast<uint8_t>(g());
            const uint64_t w = g();
            const Bytes wb = bytes_of(w);
            if (lanes) partial_store16(mem + 8, w, m);
            else partial_store(mem + 8, w, m);
            for (int i = 0; i < 24; ++i) {
                const int bit = lanes ? 3 - (i - 8) / 2 : 7 - (i - 8);
                const bool on = i >= 8 && i < 16 && ((m >> bit) & 1);
                ASSERT_EQ(mem[i], on ? wb[i - 8] : before[i]) << "lanes " << lanes << " mask " << m << " byte " << i;
            }
        }
    }
}

TEST(LaneStore, PartialLoads) {
    alignas(8) uint8_t mem[16] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(bytes_of(lane_load_n(mem + 8, 3)), (Bytes{8, 7, 6, 0, 0, 0, 0, 0}));
    EXPECT_EQ(lane_load_n(mem, 0), 0u);
}

TEST(LaneStore, BlockMovesSixtyFourBytes) {
    alignas(64) uint8_t src[64], dst[128];
    for (int i = 0; i < 64; ++i) src[i] = static_cast<uint8_t>(i + 1);
    std::memset(dst, 0xee, sizeof dst);
    uint64_t words[8];
    std::memcpy(words, src, 64);
    block_store(dst + 64, words);
    block_sync();
    EXPECT_EQ(std::memcmp(dst + 64, src, 64), 0);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(dst[i], 0xee);
}

}  // namespace
