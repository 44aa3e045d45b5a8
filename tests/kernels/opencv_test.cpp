// Agreement with OpenCV where a convention could be misread alike by a kernel
// and its model: pixel centres (the kernels' pixel i covers [i, i + 1)). The
// two differ only by their arithmetic, so the bounds are those of the
// rounding; half a pixel off breaks them by far. (The warp's conventions are
// stated from first principles in Affine8.QuarterTurnMovesColumnsToRows and
// AffineKernels.IdentityAndMargins.)
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

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
