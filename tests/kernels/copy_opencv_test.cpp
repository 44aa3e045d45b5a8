// The copy and band kernels against OpenCV where it defines the same bytes:
// copyTo for whole-pixel copies, extractChannel / insertChannel for one band,
// mixChannels for the 3 <-> 4 converters (samples 0-2 to 1-3 of a 4-sample
// pixel and back; cvtColor would also write sample 3, so it is no oracle).
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <random>

#include "kbuf.h"
#include "kl.h"

namespace {

cv::Mat random_mat(int h, int w, int cvtype, uint32_t seed) {
    cv::Mat m(h, w, cvtype);
    for (int j = 0; j < h; ++j) kbuf::fill_random(m.ptr(j), m.cols * m.elemSize(), seed + j);
    return m;
}

kl_image desc(const cv::Mat &m, int bands, int bmask) {
    const int type = m.depth() == CV_8U ? KL_BYTE : KL_SHORT;
    return kbuf::make_image(type, bands, bmask, const_cast<unsigned char *>(m.data),
                            static_cast<int>(m.step[0]), m.cols, m.rows);
}

bool same(const cv::Mat &a, const cv::Mat &b) { return cv::norm(a, b, cv::NORM_INF) == 0; }

struct Size2 {
    int w, h;
};
const Size2 kSizes[] = {{1, 1}, {7, 3}, {64, 2}, {101, 5}, {333, 7}};

TEST(CopyOpenCV, WholePixelCopyMatchesCopyTo) {
    for (int depth : {CV_8U, CV_16S}) {
        for (int n : {1, 2, 3, 4}) {
            for (Size2 s : kSizes) {
                cv::Mat src = random_mat(s.h, s.w, CV_MAKETYPE(depth, n), 1);
                cv::Mat dst = random_mat(s.h, s.w, CV_MAKETYPE(depth, n), 2), want;
                src.copyTo(want);
                kl_image ks = desc(src, n, (1 << n) - 1), kd = desc(dst, n, (1 << n) - 1);
                (depth == CV_8U ? kl_copy_8 : kl_copy_16)(15, &kd, &ks);
                EXPECT_TRUE(same(dst, want)) << "bands " << n << " w " << s.w;
            }
        }
    }
}

TEST(CopyOpenCV, ExtractAndInsertMatchChannelFunctions) {
    for (int depth : {CV_8U, CV_16S}) {
        for (int n : {2, 3, 4}) {
            for (int k = 0; k < n; ++k) {
                const int bm = 1 << (n - 1 - k);
                for (Size2 s : kSizes) {
                    cv::Mat src = random_mat(s.h, s.w, CV_MAKETYPE(depth, n), 3);
                    cv::Mat one = random_mat(s.h, s.w, CV_MAKETYPE(depth, 1), 4), want;
                    cv::extractChannel(src, want, k);
                    kl_image ks = desc(src, n, (1 << n) - 1), ko = desc(one, 1, 1);
                    (depth == CV_8U ? kl_band_extract_8 : kl_band_extract_16)(bm, &ko, &ks);
                    EXPECT_TRUE(same(one, want)) << "extract band " << k << " of " << n;

                    cv::Mat ins = random_mat(s.h, s.w, CV_MAKETYPE(depth, 1), 5);
                    cv::Mat wanti = src.clone();
                    cv::insertChannel(ins, wanti, k);
                    kl_image ki = desc(ins, 1, 1);
                    (depth == CV_8U ? kl_band_insert_8 : kl_band_insert_16)(bm, &ks, &ki);
                    EXPECT_TRUE(same(src, wanti)) << "insert band " << k << " of " << n;
                }
            }
        }
    }
}

TEST(CopyOpenCV, ConvertersMatchMixChannels) {
    for (int depth : {CV_8U, CV_16S}) {
        for (Size2 s : kSizes) {
            cv::Mat s3 = random_mat(s.h, s.w, CV_MAKETYPE(depth, 3), 6);
            cv::Mat d4 = random_mat(s.h, s.w, CV_MAKETYPE(depth, 4), 7);
            cv::Mat want4 = d4.clone();
            const int to4[] = {0, 1, 1, 2, 2, 3};
            cv::mixChannels(&s3, 1, &want4, 1, to4, 3);
            kl_image k3 = desc(s3, 3, 7), k4 = desc(d4, 4, 7);
            (depth == CV_8U ? kl_copy8_3_4 : kl_copy16_3_4)(7, &k4, &k3);
            EXPECT_TRUE(same(d4, want4)) << "3 to 4, w " << s.w;

            cv::Mat d3 = random_mat(s.h, s.w, CV_MAKETYPE(depth, 3), 8);
            cv::Mat want3 = d3.clone();
            const int to3[] = {1, 0, 2, 1, 3, 2};
            cv::mixChannels(&d4, 1, &want3, 1, to3, 3);
            kl_image kd3 = desc(d3, 3, 7), ks4 = desc(d4, 4, 15);
            (depth == CV_8U ? kl_copy8_4_3 : kl_copy16_4_3)(7, &kd3, &ks4);
            EXPECT_TRUE(same(d3, want3)) << "4 to 3, w " << s.w;
        }
    }
}

}  // namespace
