// Kernel throughput beside the peer a user would pick (OpenCV, one thread)
// and memcpy of the destination's bytes (the memory limit), on the same data.
// Images: 1 band 1024x1024 and 4096x4096, 4 bands 1024x1024 (3 bands for the
// sources of the 3-to-4 conversion). After the run a table gives Mpix/s and
// the kernel's ratio to the peer and to memcpy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "kl.h"

namespace {

struct Shape {
    const char *name;
    int w, h, bands;
};
const Shape kShapes[] = {{"1024x1024x1", 1024, 1024, 1},
                         {"4096x4096x1", 4096, 4096, 1},
                         {"1024x1024x4", 1024, 1024, 4}};

cv::Mat random_mat(int h, int w, int ch, uint32_t seed) {
    cv::Mat m(h, w, CV_8UC(ch));
    std::mt19937 g(seed);
    for (int j = 0; j < h; ++j) {
        unsigned char *p = m.ptr(j);
        for (size_t i = 0; i < static_cast<size_t>(w) * ch; ++i) p[i] = static_cast<unsigned char>(g());
    }
    return m;
}

kl_image desc(cv::Mat &m, int fb = 0) {
    kl_image k;
    std::memset(&k, 0, sizeof k);
    k.fb = static_cast<int16_t>(fb);
    k.type = KL_BYTE;
    k.bands = m.channels();
    k.bmask = (1 << k.bands) - 1;
    k.data = m.data;
    k.lb = static_cast<int>(m.step[0]);
    k.bpp = k.bands;
    k.w = m.cols;
    k.h = m.rows;
    return k;
}

// Buffers of one shape, made on first use and shared by every benchmark.
struct Data {
    cv::Mat a, b, d;        // n-band sources and destination
    cv::Mat a1, d1;          // one-band source and destination
    cv::Mat a3, d3;          // three-band source and destination
    cv::Mat d4;              // four-band destination
};

Data &data_for(const Shape &s) {
    static std::map<std::string, std::unique_ptr<Data>> all;
    auto &p = all[s.name];
    if (!p) {
        p = std::make_unique<Data>();
        p->a = random_mat(s.h, s.w, s.bands, 1);
        p->b = random_mat(s.h, s.w, s.bands, 2);
        p->d = random_mat(s.h, s.w, s.bands, 3);
        p->a1 = random_mat(s.h, s.w, 1, 4);
        p->d1 = random_mat(s.h, s.w, 1, 5);
        p->a3 = random_mat(s.h, s.w, 3, 6);
        p->d3 = random_mat(s.h, s.w, 3, 7);
        p->d4 = random_mat(s.h, s.w, 4, 8);
    }
    return *p;
}

using Fn = std::function<void(Data &)>;

struct Op {
    std::string name;  // kernel name
    std::string peer;  // what it is compared with
    int only_bands;    // 0: every shape; otherwise only shapes of this band count
    Fn kernel, other;
    // Destination bytes per pixel of the shape's band count (for memcpy).
    std::function<size_t(int bands)> dst_bpp;
};

using Dyadic = void (*)(int, kl_image *, kl_image *, kl_image *);
using Constk = void (*)(int, kl_image *, kl_image *, short *);

Op dyadic(const char *name, Dyadic k, const char *peer, std::function<void(Data &)> cvf) {
    return Op{name, peer, 0,
              [k](Data &x) {
                  kl_image d = desc(x.d), a = desc(x.a), b = desc(x.b);
                  k(15, &d, &a, &b);
              },
              cvf, [](int n) { return static_cast<size_t>(n); }};
}

Op constk(const char *name, Constk k, const char *peer, std::function<void(Data &)> cvf) {
    return Op{name, peer, 0,
              [k](Data &x) {
                  kl_image d = desc(x.d), a = desc(x.a);
                  short c[4] = {17, 40, 99, 3};
                  k(15, &d, &a, c);
              },
              cvf, [](int n) { return static_cast<size_t>(n); }};
}

const cv::Scalar kK(17, 40, 99, 3);

std::vector<Op> make_ops() {
    std::vector<Op> ops;
    ops.push_back(dyadic("kl_add_8", kl_add_8, "cv::add", [](Data &x) { cv::add(x.a, x.b, x.d); }));
    ops.push_back(dyadic("kl_sub_8", kl_sub_8, "cv::subtract",
                         [](Data &x) { cv::subtract(x.a, x.b, x.d); }));
    ops.push_back(dyadic("kl_mpy_8", kl_mpy_8, "cv::multiply",
                         [](Data &x) { cv::multiply(x.a, x.b, x.d); }));
    ops.push_back(dyadic("kl_min_8", kl_min_8, "cv::min", [](Data &x) { cv::min(x.a, x.b, x.d); }));
    ops.push_back(dyadic("kl_max_8", kl_max_8, "cv::max", [](Data &x) { cv::max(x.a, x.b, x.d); }));
    ops.push_back(dyadic("kl_and_8", kl_and_8, "cv::bitwise_and",
                         [](Data &x) { cv::bitwise_and(x.a, x.b, x.d); }));
    ops.push_back(dyadic("kl_or_8", kl_or_8, "cv::bitwise_or",
                         [](Data &x) { cv::bitwise_or(x.a, x.b, x.d); }));
    ops.push_back(dyadic("kl_xor_8", kl_xor_8, "cv::bitwise_xor",
                         [](Data &x) { cv::bitwise_xor(x.a, x.b, x.d); }));
    ops.push_back(constk("kl_addk_8", kl_addk_8, "cv::add(scalar)",
                         [](Data &x) { cv::add(x.a, kK, x.d); }));
    ops.push_back(constk("kl_subk_8", kl_subk_8, "cv::subtract(scalar)",
                         [](Data &x) { cv::subtract(x.a, kK, x.d); }));
    ops.push_back(constk("kl_ksub_8", kl_ksub_8, "cv::subtract(scalar,a)",
                         [](Data &x) { cv::subtract(kK, x.a, x.d); }));
    ops.push_back(constk("kl_andk_8", kl_andk_8, "cv::bitwise_and(scalar)",
                         [](Data &x) { cv::bitwise_and(x.a, kK, x.d); }));
    ops.push_back(constk("kl_ork_8", kl_ork_8, "cv::bitwise_or(scalar)",
                         [](Data &x) { cv::bitwise_or(x.a, kK, x.d); }));
    ops.push_back(constk("kl_xork_8", kl_xork_8, "cv::bitwise_xor(scalar)",
                         [](Data &x) { cv::bitwise_xor(x.a, kK, x.d); }));
    ops.push_back(Op{"kl_mpyk_8", "cv::multiply(scalar)", 0,
                     [](Data &x) {
                         kl_image d = desc(x.d), a = desc(x.a);
                         short c[4] = {3 << 8, 2 << 8, 1 << 8, 5 << 8};
                         kl_mpyk_8(15, &d, &a, c, 8, 1);
                     },
                     [](Data &x) { cv::multiply(x.a, cv::Scalar(3, 2, 1, 5), x.d); },
                     [](int n) { return static_cast<size_t>(n); }});
    ops.push_back(Op{"kl_copy_8", "Mat::copyTo", 0,
                     [](Data &x) {
                         kl_image d = desc(x.d), a = desc(x.a);
                         kl_copy_8(15, &d, &a);
                     },
                     [](Data &x) { x.a.copyTo(x.d); }, [](int n) { return static_cast<size_t>(n); }});
    // Four-band only: masked copy, band extract and insert, 3 <-> 4.
    ops.push_back(Op{"kl_copy_8 mask 0111", "cv::mixChannels", 4,
                     [](Data &x) {
                         kl_image d = desc(x.d), a = desc(x.a);
                         kl_copy_8(7, &d, &a);
                     },
                     [](Data &x) {
                         const int from_to[] = {1, 1, 2, 2, 3, 3};
                         cv::mixChannels(&x.a, 1, &x.d, 1, from_to, 3);
                     },
                     [](int) { return size_t{4}; }});
    ops.push_back(Op{"kl_band_extract_8", "cv::extractChannel", 4,
                     [](Data &x) {
                         kl_image d = desc(x.d1), a = desc(x.a);
                         kl_band_extract_8(4, &d, &a);
                     },
                     [](Data &x) { cv::extractChannel(x.a, x.d1, 1); },
                     [](int) { return size_t{1}; }});
    ops.push_back(Op{"kl_band_insert_8", "cv::insertChannel", 4,
                     [](Data &x) {
                         kl_image d = desc(x.d), a = desc(x.a1);
                         kl_band_insert_8(4, &d, &a);
                     },
                     [](Data &x) { cv::insertChannel(x.a1, x.d, 1); },
                     [](int) { return size_t{1}; }});
    ops.push_back(Op{"kl_copy8_3_4", "cv::cvtColor BGR2BGRA", 4,
                     [](Data &x) {
                         kl_image d = desc(x.d4), a = desc(x.a3);
                         kl_copy8_3_4(7, &d, &a);
                     },
                     [](Data &x) { cv::cvtColor(x.a3, x.d4, cv::COLOR_BGR2BGRA); },
                     [](int) { return size_t{4}; }});
    ops.push_back(Op{"kl_copy8_4_3", "cv::cvtColor BGRA2BGR", 4,
                     [](Data &x) {
                         kl_image d = desc(x.d3), a = desc(x.a);
                         kl_copy8_4_3(7, &d, &a);
                     },
                     [](Data &x) { cv::cvtColor(x.a, x.d3, cv::COLOR_BGRA2BGR); },
                     [](int) { return size_t{3}; }});
    // Flips: the source descriptor starts at the pixel that lands on the
    // destination's first one (cv::flip codes 0, 1, -1 are types 0, 1, 5).
    const struct {
        const char *name, *peer;
        int type, code;
    } flips[] = {{"kl_transpose_8 type 0", "cv::flip 0", 0, 0},
                 {"kl_transpose_8 type 1", "cv::flip 1", 1, 1},
                 {"kl_transpose_8 type 5", "cv::flip -1", 5, -1}};
    for (const auto &f : flips) {
        const int type = f.type, code = f.code;
        ops.push_back(Op{f.name, f.peer, 0,
                         [type](Data &x) {
                             kl_image d = desc(x.d), a = desc(x.a);
                             const int sx = type == 0 ? 0 : a.w - 1, sy = type == 1 ? 0 : a.h - 1;
                             a.data += static_cast<ptrdiff_t>(sy) * a.lb + static_cast<ptrdiff_t>(sx) * a.bpp;
                             kl_transpose_8(&d, &a, type);
                         },
                         [code](Data &x) { cv::flip(x.a, x.d, code); },
                         [](int n) { return static_cast<size_t>(n); }});
    }
    return ops;
}

// Mpix/s of every run, keyed by "op|shape|impl".
std::map<std::string, double> g_rate;

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) g_rate[r.benchmark_name()] = it->second.value / 1e6;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string key(const std::string &op, const Shape &s, const char *impl) {
    return op + "|" + s.name + "|" + impl;
}

}  // namespace

int main(int argc, char **argv) {
    cv::setNumThreads(1);
    static std::vector<Op> ops = make_ops();
    for (const Op &op : ops) {
        for (const Shape &s : kShapes) {
            if (op.only_bands && op.only_bands != s.bands) continue;
            const Shape *sp = &s;
            const Op *o = &op;
            auto reg = [&](const char *impl, std::function<void(Data &)> fn) {
                benchmark::RegisterBenchmark(key(op.name, s, impl).c_str(),
                                             [sp, fn](benchmark::State &st) {
                                                 Data &x = data_for(*sp);
                                                 for (auto _ : st) {
                                                     fn(x);
                                                     benchmark::ClobberMemory();
                                                 }
                                                 st.SetItemsProcessed(st.iterations() * sp->w *
                                                                      static_cast<int64_t>(sp->h));
                                             })
                    ->Unit(benchmark::kMicrosecond);
            };
            reg("kernel", op.kernel);
            reg("peer", op.other);
            const size_t bytes = static_cast<size_t>(s.w) * s.h * o->dst_bpp(s.bands);
            reg("memcpy", [bytes](Data &x) {
                // The destination's bytes, from the first source's memory.
                std::memcpy(x.d4.data, x.a.data, bytes);
            });
        }
    }
    benchmark::Initialize(&argc, argv);
    CollectingReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);

    std::printf("\n%-22s %-12s %10s %10s %10s %9s %9s  %s\n", "kernel", "image", "Mpix/s",
                "peer", "memcpy", "vs peer", "vs mcpy", "peer");
    for (const Op &op : ops) {
        for (const Shape &s : kShapes) {
            auto k = g_rate.find(key(op.name, s, "kernel"));
            if (k == g_rate.end()) continue;
            const double p = g_rate[key(op.name, s, "peer")];
            const double m = g_rate[key(op.name, s, "memcpy")];
            std::printf("%-22s %-12s %10.0f %10.0f %10.0f %9.2f %9.2f  %s\n", op.name.c_str(),
                        s.name, k->second, p, m, p > 0 ? k->second / p : 0.0,
                        m > 0 ? k->second / m : 0.0, op.peer.c_str());
        }
    }
    benchmark::Shutdown();
    return 0;
}
