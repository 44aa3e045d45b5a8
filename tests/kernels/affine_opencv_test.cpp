// The affine kernels beside cv::warpAffine (WARP_INVERSE_MAP) on a smooth,
// photo-like image with edges.
//
// Convention: OpenCV puts pixel centres at integer coordinates and samples
// destination pixel X at xs = M X + m; the kernels use continuous coordinates
// (pixel i covers [i, i + 1)), so the same inverse map is theirs with
// tx + 0.5, ty + 0.5. The two then differ only by position resolution:
// theirs 1/32 pixel for the filter phase (and their own fixed point for the
// position), ours 16.16 positions stepped per pixel with 1/256 phases.
//  - nearest: a pixel picks another neighbour only where the position lies
//    within the two rounding errors of a pixel edge, a small share;
//  - bilinear: the phase errors (at most 1/64 pixel) times the image's
//    gradient, plus rounding, bound the largest difference.
// A half-pixel shift or a transposed matrix breaks both bounds by far.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "kl.h"

namespace {

// Blurred noise (gentle gradients) with a few hard-edged shapes.
cv::Mat photo(int w, int h, int channels) {
    cv::Mat noise(h, w, CV_8UC(channels));
    cv::randu(noise, 0, 256);
    cv::Mat m;
    cv::GaussianBlur(noise, m, cv::Size(0, 0), 4.0);
    cv::normalize(m, m, 0, 255, cv::NORM_MINMAX);
    cv::rectangle(m, cv::Rect(w / 5, h / 4, w / 4, h / 3), cv::Scalar(230, 40, 90), cv::FILLED);
    cv::circle(m, cv::Point(2 * w / 3, h / 2), h / 5, cv::Scalar(20, 200, 160), cv::FILLED, cv::LINE_AA);
    return m;
}

struct Figures {
    double share_differing = 0;  // of compared pixels
    int largest = 0;             // largest sample difference
    long compared = 0;
};

// Ours and OpenCV's for inverse map m (centre convention), ours shifted by
// (sx, sy) pixels on top, or with b and c exchanged, when asked; compared
// where the position lies at least 3 pixels inside the source.
Figures compare(const cv::Mat &src, const cv::Matx23d &m, const char *interp, int cvi, double sx = 0, double sy = 0,
                bool transposed = false) {
    cv::Mat theirs(src.rows, src.cols, src.type(), cv::Scalar::all(0)), ours = theirs.clone();
    cv::warpAffine(src, theirs, cv::Mat(m), theirs.size(), cvi | cv::WARP_INVERSE_MAP, cv::BORDER_TRANSPARENT);
    std::vector<int> ro(static_cast<size_t>(src.rows));
    for (int i = 0; i < src.rows; ++i) ro[static_cast<size_t>(i)] = i * static_cast<int>(src.step[0]);
    void *table = kl_affine_create_bilinear();
    const int n = src.channels();
    kl_image s{}, d{};
    s.type = d.type = KL_BYTE;
    s.bands = d.bands = n;
    s.bmask = d.bmask = (1 << n) - 1;
    s.bpp = d.bpp = n;
    s.data = src.data;
    d.data = ours.data;
    s.lb = static_cast<int>(src.step[0]);
    d.lb = static_cast<int>(ours.step[0]);
    s.w = d.w = src.cols;
    s.h = d.h = src.rows;
    const double b = transposed ? m(0, 1) : m(1, 0), c = transposed ? m(1, 0) : m(0, 1);
    kl_affine(&d, &s, interp, ro.data(), table, float(m(0, 0)), float(b), float(c), float(m(1, 1)),
              float(m(0, 2) + 0.5 + sx), float(m(1, 2) + 0.5 + sy));
    std::free(table);
    Figures f;
    long differing = 0;
    for (int y = 0; y < src.rows; ++y)
        for (int x = 0; x < src.cols; ++x) {
            const double px = m(0, 0) * x + m(0, 1) * y + m(0, 2), py = m(1, 0) * x + m(1, 1) * y + m(1, 2);
            if (px < 3 || py < 3 || px > src.cols - 4 || py > src.rows - 4) continue;
            ++f.compared;
            bool differs = false;
            for (int k = 0; k < n; ++k) {
                const int dv = std::abs(int(ours.ptr(y)[x * n + k]) - int(theirs.ptr(y)[x * n + k]));
                f.largest = std::max(f.largest, dv);
                differs |= dv != 0;
            }
            differing += differs;
        }
    f.share_differing = f.compared ? double(differing) / double(f.compared) : 1.0;
    return f;
}

cv::Matx23d rotation(double deg, double scale, int w, int h) {
    const double th = deg * CV_PI / 180, k = 1 / scale, cx = w / 2.0, cy = h / 2.0;
    cv::Matx23d m(k * std::cos(th), -k * std::sin(th), 0, k * std::sin(th), k * std::cos(th), 0);
    m(0, 2) = cx - m(0, 0) * cx - m(0, 1) * cy;
    m(1, 2) = cy - m(1, 0) * cx - m(1, 1) * cy;
    return m;
}

TEST(AffineOpenCV, AgreesWithinTheResolutionOfThePhases) {
    for (int n : {1, 3}) {
        const cv::Mat src = photo(400, 300, n);
        for (double deg : {30.0, -17.0, 93.0}) {
            SCOPED_TRACE(::testing::Message() << n << " band(s), " << deg << " degrees");
            const cv::Matx23d m = rotation(deg, 1.1, src.cols, src.rows);
            const Figures nn = compare(src, m, "nearest", cv::INTER_NEAREST);
            const Figures bl = compare(src, m, "bilinear", cv::INTER_LINEAR);
            ASSERT_GT(nn.compared, 50000);
            EXPECT_LT(nn.share_differing, 0.01) << "nearest: share of pixels picking another neighbour";
            EXPECT_LE(bl.largest, 5) << "bilinear: largest difference";
            // A half-pixel shift or a transposed matrix is far outside both.
            const Figures half = compare(src, m, "nearest", cv::INTER_NEAREST, 0.5, 0.5);
            EXPECT_GT(half.share_differing, 0.2);
            EXPECT_GT(compare(src, m, "bilinear", cv::INTER_LINEAR, 0.5, 0).largest, 8);
            EXPECT_GT(compare(src, m, "nearest", cv::INTER_NEAREST, 0, 0, true).share_differing, 0.2);
            std::printf("%d band(s) %6.1f deg: nearest %.4f%% of pixels pick another neighbour; bilinear largest "
                        "difference %d\n",
                        n, deg, 100 * nn.share_differing, bl.largest);
        }
    }
}

}  // namespace
