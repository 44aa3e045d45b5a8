// Lookup kernels: the calls they refuse write nothing, and 16-bit samples
// address the table from the entry of -32768.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"

namespace {

int entry_size(int n) { return n == 3 ? 4 : n; }

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

}  // namespace
