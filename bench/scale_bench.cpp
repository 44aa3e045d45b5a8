// Scaling throughput: kl_scale beside cv::resize (one thread; INTER_NEAREST,
// INTER_LINEAR, INTER_CUBIC) and memcpy of the destination's bytes, on a
// 1024x1024 source scaled by 2.0, 1.5, 0.5 and 3.7, one band and three bands
// (ours into the 4-byte pixels of a 24-bit window, band mask 7; OpenCV 8UC3).
// Registered beside the kernel benchmarks and run in the same program; the
// table (destination Mpix/s and ratios) is printed when the program ends.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "kl.h"

namespace {

struct Case {
    const char *filter;
    int interp;
    double f;
    int bands;  // 1, or 3 (into 4-byte pixels)
};

struct Rates {
    std::map<std::string, double> mpix;  // by "case|who"
    std::vector<std::string> order;
    ~Rates() {
        if (order.empty()) return;
        std::printf("\n%-30s %9s %9s %9s %8s %8s\n", "kl_scale (source 1024x1024)", "Mpix/s", "resize", "memcpy",
                    "vs peer", "vs mcpy");
        for (const std::string &c : order) {
            const double o = mpix[c + "|ours"], p = mpix[c + "|peer"], m = mpix[c + "|memcpy"];
            std::printf("%-30s %9.0f %9.0f %9.0f %8.2f %8.2f\n", c.c_str(), o, p, m, p > 0 ? o / p : 0.0,
                        m > 0 ? o / m : 0.0);
        }
    }
};
Rates rates;

cv::Mat noise(int h, int w, int type, uint32_t seed) {
    cv::Mat m(h, w, type);
    std::mt19937 g(seed);
    for (int j = 0; j < h; ++j)
        for (size_t i = 0; i < m.cols * m.elemSize(); ++i) m.ptr(j)[i] = static_cast<unsigned char>(g());
    return m;
}

kl_image desc(const cv::Mat &m, int bmask, int fb) {
    kl_image k;
    std::memset(&k, 0, sizeof k);
    k.fb = static_cast<int16_t>(fb);
    k.type = KL_BYTE;
    k.bands = m.channels();
    k.bmask = bmask;
    k.data = m.data;
    k.lb = static_cast<int>(m.step[0]);
    k.bpp = static_cast<int>(m.elemSize());
    k.w = m.cols;
    k.h = m.rows;
    return k;
}

struct TableDel {
    void operator()(kl_resample_table *t) const { kl_resample_destroy(t); }
};

template <class F>
void timed(benchmark::State &st, const std::string &key, int64_t pixels, F &&fn) {
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : st) {
        fn();
        benchmark::ClobberMemory();
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    st.SetItemsProcessed(st.iterations() * pixels);
    if (s > 0) rates.mpix[key] = static_cast<double>(st.iterations()) * static_cast<double>(pixels) / s / 1e6;
}

const bool registered = [] {
    const Case cases[] = {
        {"nearest", cv::INTER_NEAREST, 2.0, 1}, {"nearest", cv::INTER_NEAREST, 1.5, 1},
        {"nearest", cv::INTER_NEAREST, 0.5, 1}, {"nearest", cv::INTER_NEAREST, 3.7, 1},
        {"bilinear", cv::INTER_LINEAR, 2.0, 1}, {"bilinear", cv::INTER_LINEAR, 1.5, 1},
        {"bilinear", cv::INTER_LINEAR, 0.5, 1}, {"bilinear", cv::INTER_LINEAR, 3.7, 1},
        {"bicubic", cv::INTER_CUBIC, 2.0, 1},   {"bicubic", cv::INTER_CUBIC, 1.5, 1},
        {"bicubic", cv::INTER_CUBIC, 0.5, 1},   {"bicubic", cv::INTER_CUBIC, 3.7, 1},
        {"nearest", cv::INTER_NEAREST, 2.0, 3}, {"nearest", cv::INTER_NEAREST, 1.5, 3},
        {"nearest", cv::INTER_NEAREST, 0.5, 3}, {"nearest", cv::INTER_NEAREST, 3.7, 3},
        {"bilinear", cv::INTER_LINEAR, 2.0, 3}, {"bilinear", cv::INTER_LINEAR, 1.5, 3},
        {"bilinear", cv::INTER_LINEAR, 0.5, 3}, {"bilinear", cv::INTER_LINEAR, 3.7, 3},
        {"bicubic", cv::INTER_CUBIC, 2.0, 3},   {"bicubic", cv::INTER_CUBIC, 1.5, 3},
        {"bicubic", cv::INTER_CUBIC, 0.5, 3},   {"bicubic", cv::INTER_CUBIC, 3.7, 3},
    };
    for (const Case &c : cases) {
        char name[64];
        std::snprintf(name, sizeof name, "%s %.1fx %s", c.filter, c.f, c.bands == 1 ? "1 band" : "3->4 bands");
        const std::string key = name;
        rates.order.push_back(key);
        const int side = 1024, dside = static_cast<int>(std::lround(side * c.f));
        const int64_t pixels = static_cast<int64_t>(dside) * dside;
        benchmark::RegisterBenchmark(("scale|" + key + "|ours").c_str(), [c, key, side, dside, pixels](benchmark::State &st) {
            static cv::Mat src, dst;
            src = noise(side, side, c.bands == 1 ? CV_8UC1 : CV_8UC4, 1);
            dst.create(dside, dside, c.bands == 1 ? CV_8UC1 : CV_8UC4);
            const int e = KL_EDGE_EXTEND;
            std::unique_ptr<kl_resample_table, TableDel> t(
                c.interp == cv::INTER_NEAREST  ? kl_resample_create_nearest(e)
                : c.interp == cv::INTER_LINEAR ? kl_resample_create_bilinear(256, 256, 8, e)
                                               : kl_resample_create_bicubic(256, 256, 8, e));
            kl_image s = desc(src, c.bands == 1 ? 1 : 15, 0), d = desc(dst, c.bands == 1 ? 1 : 7, 1);
            const float f = static_cast<float>(c.f);
            timed(st, key + "|ours", pixels, [&] { kl_scale(-1, &d, &s, f, f, -0.5f, -0.5f, t.get()); });
        })->Unit(benchmark::kMillisecond)->MinTime(0.2);
        benchmark::RegisterBenchmark(("scale|" + key + "|peer").c_str(), [c, key, side, dside, pixels](benchmark::State &st) {
            cv::setNumThreads(1);
            static cv::Mat src, dst;
            src = noise(side, side, c.bands == 1 ? CV_8UC1 : CV_8UC3, 1);
            timed(st, key + "|peer", pixels,
                  [&] { cv::resize(src, dst, cv::Size(dside, dside), 0, 0, c.interp); });
        })->Unit(benchmark::kMillisecond)->MinTime(0.2);
        benchmark::RegisterBenchmark(("scale|" + key + "|memcpy").c_str(), [c, key, dside, pixels](benchmark::State &st) {
            const size_t bytes = static_cast<size_t>(pixels) * (c.bands == 1 ? 1 : 4);
            static std::vector<unsigned char> a, b;
            a.assign(bytes, 1);
            b.assign(bytes, 2);
            (void)dside;
            timed(st, key + "|memcpy", pixels, [&] { std::memcpy(b.data(), a.data(), bytes); });
        })->Unit(benchmark::kMillisecond)->MinTime(0.2);
    }
    return true;
}();

}  // namespace
