// Lookup kernels: the calls they refuse write nothing.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"

namespace {

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

}  // namespace
