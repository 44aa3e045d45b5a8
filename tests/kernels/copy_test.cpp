// Copy and band kernels: cases with their results stated in samples (band
// order, whole pixels into a frame-buffer window). The calls they refuse:
// Kernels.RefusedCallsWriteNothing.
#include "kbuf.h"

namespace {

// Named cases with results stated in samples.
TEST(CopyDispatch, StatedCases) {
    // 4-band image into a 4-band frame-buffer window with mask 0b0111: whole
    // pixels; into memory: sample 0 of every pixel kept.
    for (int fb = 0; fb <= 1; ++fb) {
        std::vector<unsigned char> s(16 * 4), d(16 * 4, 0xee);
        for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<unsigned char>(i);
        kl_image si = kbuf::make_image(KL_BYTE, 4, 15, s.data(), 64, 16, 1);
        kl_image di = kbuf::make_image(KL_BYTE, 4, 15, d.data(), 64, 16, 1, fb);
        kl_copy_8(7, &di, &si);
        for (int i = 0; i < 64; ++i) {
            EXPECT_EQ(d[i], (i % 4 == 0 && !fb) ? 0xee : i) << "fb " << fb << " byte " << i;
        }
    }
    // 3-band destination, 4-band source, mask 0b1000: nothing.
    {
        std::vector<unsigned char> s(32, 1), d(24, 0xee);
        kl_image si = kbuf::make_image(KL_BYTE, 4, 15, s.data(), 32, 8, 1);
        kl_image di = kbuf::make_image(KL_BYTE, 3, 7, d.data(), 24, 8, 1);
        kl_copy_8(8, &di, &si);
        EXPECT_EQ(d, std::vector<unsigned char>(24, 0xee));
    }
    // Band insert with mask 0b0101 into 4 bands: only sample 1.
    {
        std::vector<unsigned char> s(8, 7), d(32, 0xee);
        kl_image si = kbuf::make_image(KL_BYTE, 1, 1, s.data(), 8, 8, 1);
        kl_image di = kbuf::make_image(KL_BYTE, 4, 15, d.data(), 32, 8, 1);
        kl_band_insert_8(5, &di, &si);
        for (int i = 0; i < 32; ++i) EXPECT_EQ(d[i], i % 4 == 1 ? 7 : 0xee) << i;
    }
}

}  // namespace
