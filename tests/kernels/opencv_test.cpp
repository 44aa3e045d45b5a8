// Agreement with OpenCV where a convention could be misread alike by a kernel
// and its model: pixel centres (the kernels' pixel i covers [i, i + 1), so
// OpenCV's maps are ours shifted by half a pixel). The two differ only by
// their arithmetic, so the bounds are those of the rounding; half a pixel off
// or a transposed matrix breaks them by far.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "kl.h"

namespace {

kl_image view(const cv::Mat &m) {
    kl_image im{};
    im.type = KL_BYTE;
    im.bands = im.bpp = m.channels();
    im.bmask = (1 << m.channels()) - 1;
    im.data = const_cast<unsigned char *>(m.data);
    im.lb = static_cast<int>(m.step[0]);
    im.w = m.cols, im.h = m.rows;
    return im;
}

// Blurred noise (gentle gradients) with hard-edged shapes.
cv::Mat photo(int w, int h, int channels) {
    cv::Mat noise(h, w, CV_8UC(channels)), m;
    cv::randu(noise, 0, 256);
    cv::GaussianBlur(noise, m, cv::Size(0, 0), 4.0);
    cv::normalize(m, m, 0, 255, cv::NORM_MINMAX);
    cv::rectangle(m, cv::Rect(w / 5, h / 4, w / 4, h / 3), cv::Scalar(230, 40, 90), cv::FILLED);
    cv::circle(m, cv::Point(2 * w / 3, h / 2), h / 5, cv::Scalar(20, 200, 160), cv::FILLED, cv::LINE_AA);
    return m;
}

// Positions are 16.16 stepped per pixel with 1/256 phases against OpenCV's
// 1/32: nearest picks another neighbour only within the rounding of a pixel
// edge, bilinear differs by the phase error times the gradient.
TEST(OpenCV, AffineWarpAgreesWithinThePhaseResolution) {
    for (int n : {1, 3}) {
        const cv::Mat src = photo(400, 300, n);
        const double th = 30 * CV_PI / 180, k = 1 / 1.1, cx = 200, cy = 150;
        cv::Matx23d m(k * std::cos(th), -k * std::sin(th), 0, k * std::sin(th), k * std::cos(th), 0);
        m(0, 2) = cx - m(0, 0) * cx - m(0, 1) * cy;
        m(1, 2) = cy - m(1, 0) * cx - m(1, 1) * cy;
        std::vector<int> ro(static_cast<size_t>(src.rows));
        for (int i = 0; i < src.rows; ++i) ro[static_cast<size_t>(i)] = i * static_cast<int>(src.step[0]);
        std::unique_ptr<void, decltype(&std::free)> table(kl_affine_create_bilinear(), &std::free);
        for (const char *interp : {"nearest", "bilinear"}) {
            const bool nn = interp[0] == 'n';
            cv::Mat theirs(src.size(), src.type(), cv::Scalar::all(0)), ours = theirs.clone();
            cv::warpAffine(src, theirs, cv::Mat(m), theirs.size(), (nn ? cv::INTER_NEAREST : cv::INTER_LINEAR) |
                           cv::WARP_INVERSE_MAP, cv::BORDER_TRANSPARENT);
            kl_image s = view(src), d = view(ours);
            kl_affine(&d, &s, interp, ro.data(), table.get(), float(m(0, 0)), float(m(1, 0)), float(m(0, 1)),
                      float(m(1, 1)), float(m(0, 2) + 0.5), float(m(1, 2) + 0.5));
            long compared = 0, differing = 0;
            int largest = 0;
            for (int y = 0; y < src.rows; ++y)
                for (int x = 0; x < src.cols; ++x) {
                    const double px = m(0, 0) * x + m(0, 1) * y + m(0, 2), py = m(1, 0) * x + m(1, 1) * y + m(1, 2);
                    if (px < 3 || py < 3 || px > src.cols - 4 || py > src.rows - 4) continue;
                    ++compared;
                    int dv = 0;
                    for (int c = 0; c < n; ++c) dv = std::max(dv, std::abs(ours.ptr(y)[x * n + c] - theirs.ptr(y)[x * n + c]));
                    largest = std::max(largest, dv);
                    differing += dv != 0;
                }
            ASSERT_GT(compared, 50000);
            if (nn) EXPECT_LT(differing, compared / 100) << n << " band(s): pixels picking another neighbour";
            else EXPECT_LE(largest, 5) << n << " band(s): largest bilinear difference";
        }
    }
}

// With the source at the origin (xtrans -0.5: pixel centres on both sides),
// away from the borders: nearest gives OpenCV's pixels for integer factors,
// bilinear differs by Q14 against 11-bit weights and the 8-bit intermediate rows.
TEST(OpenCV, ScaleAgreesWithResize) {
    const cv::Mat src = photo(97, 61, 1);
    for (double f : {2.0, 3.0, 1.5, 0.5, 3.7}) {
        for (int kind : {0, 1}) {
            if (kind == 0 && f != std::floor(f)) continue;
            cv::Mat ours(int(std::nearbyint(src.rows * f)), int(std::nearbyint(src.cols * f)), CV_8UC1), theirs;
            cv::resize(src, theirs, cv::Size(), f, f, kind ? cv::INTER_LINEAR : cv::INTER_NEAREST);
            kl_image s = view(src), d = view(ours);
            kl_resample_table *t = kind ? kl_resample_create_bilinear(256, 256, 8, KL_EDGE_EXTEND)
                                        : kl_resample_create_nearest(KL_EDGE_EXTEND);
            ASSERT_EQ(kl_scale(-1, &d, &s, float(f), float(f), -0.5f, -0.5f, t), 1);
            kl_resample_destroy(t);
            const int b = kind ? int(std::ceil(2 * f)) + 1 : 0;
            const cv::Rect inner(b, b, ours.cols - 2 * b, ours.rows - 2 * b);
            EXPECT_LE(cv::norm(ours(inner), theirs(inner), cv::NORM_INF), 2 * kind) << "factor " << f << " kind " << kind;
        }
    }
}

}  // namespace
