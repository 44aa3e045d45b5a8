// The general convolution beside cv::filter2D on an image with smooth areas,
// edges and noise: where the coefficients are below 8 (shift 12), each is
// truncated by less than 1/4096 and each tap rounded by at most half a unit
// of 1/16, so with E the exact sum a 5x5 or 7x7 result lies within
// (255 N^2 / 256 + N^2 / 2 + 8) / 16 + 1 of E (the 3x3 body, which does not
// add the rounding term, likewise without the 8; its floating-point ends
// within 1). cv::filter2D rounds E to nearest, so the two differ by at most
// that plus one half, rounded down, plus 1 for OpenCV's own arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>

#include "kbuf.h"
#include "kl.h"

namespace {

cv::Mat scene(int w, int h, uint32_t seed) {
    cv::Mat m(h, w, CV_8UC1);
    std::mt19937 g(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double r = std::hypot(x - w / 3.0, y - h / 2.0);
            double v = 128 + 100 * std::sin(r / 9.0) * std::cos(x / 31.0) + (x > w / 2 ? 60 : -20);
            v += static_cast<int>(g() % 21) - 10;
            m.at<unsigned char>(y, x) = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    return m;
}

int bound(int n) {
    const double taps = n * n, round = n == 3 ? 0 : 8;
    return static_cast<int>(std::floor((255 * taps / 256 + taps / 2 + round) / 16 + 1 + 0.5)) + 1;
}

TEST(ConvolveOpenCV, WithinTheFixedPointBound) {
    const cv::Mat src = scene(301, 123, 5);
    std::mt19937 g(9);
    for (int n = 3; n <= 7; n += 2) {
        for (int kind = 0; kind < 3; ++kind) {
            // Smoothing (positive, sum 1), sharpening (negative ring), random with
            // the absolute sum below 8, so that the 16-bit sums cannot wrap.
            std::vector<float> k(static_cast<size_t>(n * n));
            for (float &v : k)
                v = kind == 0 ? 1.0f / (n * n) : kind == 1 ? -0.6f / (n * n - 1) : (static_cast<int>(g() % 401) - 200) / 100.0f * 3.0f / (n * n);
            if (kind == 1) k[static_cast<size_t>(n * n / 2)] = 1.6f;
            cv::Mat want;
            cv::filter2D(src, want, -1, cv::Mat(n, n, CV_32F, k.data()), cv::Point(-1, -1), 0, cv::BORDER_ISOLATED);
            cv::Mat got(src.rows, src.cols, CV_8UC1, cv::Scalar(0));
            kl_image s = kbuf::make_image(KL_BYTE, 1, 1, src.data, static_cast<int>(src.step[0]), src.cols, src.rows);
            kl_image d = kbuf::make_image(KL_BYTE, 1, 1, got.data, static_cast<int>(got.step[0]), got.cols, got.rows);
            (n == 3 ? kl_convolve3x3_8 : n == 5 ? kl_convolve5x5_8 : kl_convolve7x7_8)(1, &d, &s, k.data(), 0, 1);
            const int r = n / 2;
            const cv::Rect inner(r, r, src.cols - 2 * r, src.rows - 2 * r);
            const double diff = cv::norm(got(inner), want(inner), cv::NORM_INF);
            EXPECT_LE(diff, bound(n)) << n << "x" << n << " kind " << kind;
            RecordProperty("max_diff_" + std::to_string(n) + "_" + std::to_string(kind), static_cast<int>(diff));
        }
    }
}

}  // namespace
