// An independent oracle: the operations OpenCV defines the same way
// (saturating add and subtract, product, minimum, maximum, bitwise logic,
// constants per channel) agree with the kernels on random images.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <random>

#include "kbuf.h"
#include "kl.h"

namespace {

cv::Mat random_mat(int rows, int cols, int type, uint64_t seed) {
    cv::Mat m(rows, cols, type);
    cv::RNG rng(seed);
    if (CV_MAT_DEPTH(type) == CV_8U)
        rng.fill(m, cv::RNG::UNIFORM, 0, 256);
    else
        rng.fill(m, cv::RNG::UNIFORM, -32768, 32768);
    return m;
}

kl_image view(cv::Mat &m) {
    const int type = m.depth() == CV_8U ? KL_BYTE : KL_SHORT;
    return kbuf::make_image(type, m.channels(), (1 << m.channels()) - 1, m.data, static_cast<int>(m.step[0]), m.cols,
                            m.rows);
}

// A destination sub-view starting at column x0 of a wider random image, so
// that rows start at every alignment; the columns around it must survive.
struct Dst {
    cv::Mat whole, roi, before;
    int x0;
    Dst(int rows, int cols, int type, int x0_, uint64_t seed) : x0(x0_) {
        whole = random_mat(rows, cols + x0 + 3, type, seed);
        before = whole.clone();
        roi = whole(cv::Rect(x0, 0, cols, rows));
    }
    // Compares the view with want and everything outside it with the original.
    ::testing::AssertionResult check(const cv::Mat &want) const {
        cv::Mat outside = before.clone();
        want.copyTo(outside(cv::Rect(x0, 0, roi.cols, roi.rows)));
        if (cv::norm(outside, whole, cv::NORM_INF) != 0) return ::testing::AssertionFailure() << "images differ";
        return ::testing::AssertionSuccess();
    }
};

using Kernel2 = void (*)(int, kl_image *, kl_image *, kl_image *);
using KernelK = void (*)(int, kl_image *, kl_image *, short *);

enum class Op { Add, Sub, Mul, Min, Max, And, Or, Xor };

cv::Mat oracle(Op op, const cv::Mat &a, const cv::Mat &b) {
    cv::Mat r;
    switch (op) {
    case Op::Add: cv::add(a, b, r); break;
    case Op::Sub: cv::subtract(a, b, r); break;
    case Op::Mul: cv::multiply(a, b, r); break;
    case Op::Min: cv::min(a, b, r); break;
    case Op::Max: cv::max(a, b, r); break;
    case Op::And: cv::bitwise_and(a, b, r); break;
    case Op::Or: cv::bitwise_or(a, b, r); break;
    case Op::Xor: cv::bitwise_xor(a, b, r); break;
    }
    return r;
}

struct Case2 {
    const char *name;
    Kernel2 k8, k16;
    Op op;
};

const Case2 kCases[] = {
    {"add", kl_add_8, kl_add_16, Op::Add}, {"sub", kl_sub_8, kl_sub_16, Op::Sub}, {"mul", kl_mpy_8, kl_mpy_16, Op::Mul},
    {"min", kl_min_8, kl_min_16, Op::Min}, {"max", kl_max_8, kl_max_16, Op::Max}, {"and", kl_and_8, kl_and_16, Op::And},
    {"or", kl_or_8, kl_or_16, Op::Or},     {"xor", kl_xor_8, kl_xor_16, Op::Xor},
};

TEST(ArithOracle, TwoSourcesAgreeWithOpenCV) {
    std::mt19937 rng(600);
    for (const Case2 &c : kCases) {
        for (int it = 0; it < 24; ++it) {
            const int ch = 1 + it % 4;
            const bool wide = it % 3 == 2;
            const int type = CV_MAKETYPE(wide ? CV_16S : CV_8U, ch);
            const int rows = 1 + static_cast<int>(rng() % 9), cols = 1 + static_cast<int>(rng() % 90);
            cv::Mat a = random_mat(rows, cols, type, rng()), b = random_mat(rows, cols, type, rng());
            if (c.op == Op::Mul && wide) {
                // Keep some products inside the range as well as saturating ones.
                a = a / 128;
            }
            Dst d(rows, cols, type, static_cast<int>(rng() % 8), rng());
            kl_image ia = view(a), ib = view(b), id = view(d.roi);
            (wide ? c.k16 : c.k8)(15, &id, &ia, &ib);
            ASSERT_TRUE(d.check(oracle(c.op, a, b))) << c.name << " channels " << ch << (wide ? " 16-bit" : " 8-bit");
        }
    }
}

TEST(ArithOracle, ConstantsAgreeWithOpenCV) {
    std::mt19937 rng(601);
    for (int it = 0; it < 64; ++it) {
        const int ch = 1 + it % 4;
        const bool wide = it % 2;
        const int type = CV_MAKETYPE(wide ? CV_16S : CV_8U, ch);
        const int rows = 1 + static_cast<int>(rng() % 6), cols = 1 + static_cast<int>(rng() % 70);
        cv::Mat a = random_mat(rows, cols, type, rng());
        short k[4];
        cv::Scalar s;
        for (int i = 0; i < 4; ++i) {
            k[i] = static_cast<short>(static_cast<int>(rng() % 1001) - 500);
            s[i] = k[i];
        }
        const int x0 = static_cast<int>(rng() % 8);
        kl_image ia = view(a);
        // Not is xor with 255.
        short ff[4] = {255, 255, 255, 255};
        const struct {
            const char *name;
            KernelK fn;
            short *k;
            void (*cv)(const cv::Mat &, const cv::Scalar &, cv::Mat &);
        } ops[] = {
            {"addk", wide ? kl_addk_16 : kl_addk_8, k, [](const cv::Mat &x, const cv::Scalar &c, cv::Mat &r) { cv::add(x, c, r); }},
            {"subk", wide ? kl_subk_16 : kl_subk_8, k, [](const cv::Mat &x, const cv::Scalar &c, cv::Mat &r) { cv::subtract(x, c, r); }},
            {"ksub", wide ? kl_ksub_16 : kl_ksub_8, k, [](const cv::Mat &x, const cv::Scalar &c, cv::Mat &r) { cv::subtract(c, x, r); }},
            {"not", wide ? nullptr : kl_xork_8, ff, [](const cv::Mat &x, const cv::Scalar &, cv::Mat &r) { cv::bitwise_not(x, r); }},
        };
        for (const auto &o : ops) {
            if (!o.fn) continue;
            Dst d(rows, cols, type, x0, rng());
            kl_image id = view(d.roi);
            o.fn(15, &id, &ia, o.k);
            cv::Mat want;
            o.cv(a, s, want);
            ASSERT_TRUE(d.check(want)) << o.name << " channels " << ch;
        }
    }
}

TEST(ArithOracle, AbsoluteValueAgreesWithOpenCV) {
    cv::Mat a = random_mat(7, 61, CV_16SC3, 602);
    a.at<cv::Vec3s>(0, 0) = cv::Vec3s(-32768, 0, -1);
    Dst d(7, 61, CV_16SC3, 3, 603);
    kl_image ia = view(a), id = view(d.roi);
    kl_abs_16(7, &id, &ia);
    cv::Mat want = cv::abs(a);  // saturating: -32768 gives 32767
    ASSERT_TRUE(d.check(want));
}

}  // namespace
