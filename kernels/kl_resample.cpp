// Resampling: scale an image by independent factors in x and y with a
// translation, through a separable filter of 1 to 8 taps per direction.
//
// Arithmetic (8-bit). Each pass computes, per sample, with Q14 weights w_k:
//   v = (Σ_k floor((s_k * w_k + 128) / 256) + 32) taken modulo 2^16 as a
//       signed 16-bit lane (the lanes add modularly),
//   out = clamp(floor(v / 64), 0, 255),
// horizontally from the source samples into 8-bit intermediate rows, then
// vertically from those rows into the destination. A width-1 direction copies
// its one sample. 16-bit samples accumulate Σ s_k * w_k + 8192 in 32-bit lanes
// (modulo 2^32) and narrow to clamp(floor(v / 16384), -32768, 32767).
//
// Geometry. Destination column i has its footprint at source pixel
// floor((i - xtrans) / xscale - (width - 1) / 2), phase
// trunc(subsamples * frac(...)); rows likewise. Samples outside the source
// are read, in both edge modes that read them, from the descriptor's margins
// (the readable pixels around the area) where those exist; beyond the margins
// they are 0 (zero fill) or the nearest margin pixel (extend).
//
// The horizontal pass filters groups of 8 source rows (4 for 16-bit) at once
// in column-major blocks (transpose_in_8 / transpose_out_8), each needed row
// exactly once, and keeps the filtered rows in a ring for the vertical pass.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kl.h"
#include "kl_impl.h"
#include "kl_resample_body.h"

std::atomic<int> use_reference{0};
std::atomic<int> do_special_cases{1};

namespace {

using u8 = unsigned char;
using resample::full_mask;
using resample::spp_of;
using resample::weight;

constexpr int kPhaseShorts = 16;  // 32 bytes per phase entry
// Filtered rows kept for the vertical pass: the up to 7 rows of a
// destination row's footprint filtered earlier and the group being filtered.
constexpr int kRing = 16;
constexpr long long kMaxSubsamples = 1 << 20;
constexpr double kMaxPos = 1 << 27;  // |source position| the index tables take

// The print flags, read from the environment once per process.
struct Print {
    bool tables, special;
};
const Print &print_flags() {
    static const Print p{std::getenv("ZOR_PRINT_TABLES") != nullptr, std::getenv("ZOR_PRINT_SPECIAL") != nullptr};
    return p;
}
// The previous call took the bilinear 2x path (only for the messages).
std::atomic<bool> last_bl2x{false};

int16_t fixed(double v) {
    if (!(v == v)) return 0;
    const double t = std::trunc(v);
    return static_cast<int16_t>(t < -32768.0 ? -32768.0 : (t > 32767.0 ? 32767.0 : t));
}

// A table record with room for the filters; null when memory runs out.
kl_resample_table *make_table(int kind, int edgeH, int edgeV, int subsH, int subsV, int widthH, int widthV,
                              int type) {
    auto *t = static_cast<kl_resample_table *>(std::calloc(1, sizeof(kl_resample_table)));
    if (!t) return nullptr;
    t->kind = kind;
    t->edgeH = edgeH;
    t->edgeV = edgeV;
    t->subsamplesH = widthH > 1 ? subsH : 0;
    t->subsamplesV = widthV > 1 ? subsV : 0;
    t->filterwidthH = widthH;
    t->filterwidthV = widthV;
    t->layout = type == 8 ? KL_BYTE : KL_SHORT;
    if (widthH > 1) t->filterH = static_cast<int16_t *>(std::calloc(static_cast<size_t>(subsH), 32));
    if (widthV > 1) t->filterV = static_cast<int16_t *>(std::calloc(static_cast<size_t>(subsV), 32));
    if ((widthH > 1 && !t->filterH) || (widthV > 1 && !t->filterV)) {
        kl_resample_destroy(t);
        return nullptr;
    }
    return t;
}

void put_weight(int16_t *entry, int layout, int k, int16_t w) {
    if (layout == KL_BYTE) {
        entry[k] = w;
    } else {
        entry[2 * k] = w;
        entry[2 * k + 1] = w;
    }
}

bool edge_ok(int e) { return e >= KL_EDGE_NO_WRITE && e <= KL_EDGE_EXTEND; }
bool subs_ok(int s) { return s >= 1 && s <= kMaxSubsamples; }

size_t align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

// Scratch of the general pass inside the work buffer. Its size is fixed by
// the call's geometry: with a = the source span (last minus first column
// index, plus the taps times the pixel bytes, doubled for 16-bit samples)
// rounded up to 8 and b = the destination row's bytes (doubled for 16-bit)
// over 8, rounded up, it is a + 8 (a + 32 b) + 4 (row span + 9) bytes. The
// layout below always fits in it: the row slots within the last term, the
// ring, zero row and output words within the 256 b, the block (8 words per
// source sample of the span and one zero pixel) within the 9 a. A horizontal
// pass with a plan takes the block's place and what the output words leave
// after the vertical pass's work (kWork rows).
struct Layout {
    int spp = 0, esz = 0, dn = 0;  // samples per pixel, bytes per sample, samples per destination row
    int p0 = 0, p1 = 0;            // footprint in source pixels [p0, p1)
    int b0 = 0, b1 = 0;            // pixels held in the block [b0, b1)
    int r0 = 0, r1 = 0;            // footprint rows [r0, r1)
    size_t slots = 0, ring = 0, zero = 0, out = 0, block = 0, plan = 0, total = 0;
};
constexpr int kWork = 4;

// hfirst/hlast: the first and last iTableH entry, vfirst/vlast of iTableV;
// the tables must not decrease.
bool plan_span(Layout &L, const kl_image *src, const kl_image *dst, int fwH, int fwV, long long hfirst,
               long long hlast, long long vfirst, long long vlast) {
    if (!src || !dst || dst->w < 1 || dst->h < 1) return false;
    if (src->type != KL_BYTE && src->type != KL_SHORT) return false;
    L.spp = spp_of(src);
    L.esz = src->type == KL_SHORT ? 2 : 1;
    if (L.spp < 1 || L.spp > 4 || fwH < 1 || fwH > KL_MAXRESAMPLE || fwV < 1 || fwV > KL_MAXRESAMPLE) return false;
    if (hfirst > hlast || vfirst > vlast) return false;
    if (hfirst < -kMaxPos * 4 || hlast > kMaxPos * 4 || vfirst < -kMaxPos || vlast > kMaxPos) return false;
    L.dn = dst->w * L.spp;
    L.p0 = static_cast<int>(hfirst / L.spp);
    L.p1 = static_cast<int>(hlast / L.spp) + fwH;
    L.r0 = static_cast<int>(vfirst);
    L.r1 = static_cast<int>(vlast) + fwV;
    // The footprint clamped into the readable pixels: what zero fill reads,
    // and the pixels extend replicates; none when nothing is readable.
    const long long rlo = -static_cast<long long>(src->x), rhi = static_cast<long long>(src->w) + src->padx;
    if (rlo < rhi) {
        L.b0 = static_cast<int>(std::clamp<long long>(L.p0, rlo, rhi - 1));
        L.b1 = static_cast<int>(std::clamp<long long>(L.p1 - 1, rlo, rhi - 1)) + 1;
    } else {
        L.b0 = L.b1 = 0;
    }
    const size_t rowbytes = align8(static_cast<size_t>(L.dn) * L.esz);
    L.slots = 0;
    L.ring = align8(sizeof(int) * static_cast<size_t>(L.r1 - L.r0));
    L.zero = L.ring + kRing * rowbytes;
    L.out = L.zero + rowbytes;
    L.block = L.out + 8 * static_cast<size_t>(L.dn) + 16;
    L.plan = L.out + kWork * rowbytes;
    const size_t need = L.block + 8 * static_cast<size_t>(L.b1 - L.b0 + 1) * L.spp;
    const size_t dbl = L.esz == 2 ? 2 : 1;
    const size_t a = align8(static_cast<size_t>(hlast - hfirst) + static_cast<size_t>(fwH) * src->bpp * dbl);
    const size_t b = (static_cast<size_t>(dst->w) * dst->bpp * dbl + 7) / 8;
    L.total = std::max(need, a + 8 * (a + 32 * b) + 4 * static_cast<size_t>(vlast - vfirst + 9));
    return true;
}

bool plan(Layout &L, const kl_image *src, const kl_image *dst, int fwH, int fwV, const int *iTableH,
          const int *iTableV) {
    if (!dst || !iTableH || !iTableV || dst->w < 1 || dst->h < 1) return false;
    return plan_span(L, src, dst, fwH, fwV, iTableH[0], iTableH[dst->w - 1], iTableV[0], iTableV[dst->h - 1]);
}

}  // namespace

extern "C" {

uint32_t float_to_fixed_8(float c0, float c1, int shift) {
    const uint16_t pair[2] = {static_cast<uint16_t>(fixed(static_cast<double>(c0) * std::ldexp(1.0, shift))),
                              static_cast<uint16_t>(fixed(static_cast<double>(c1) * std::ldexp(1.0, shift)))};
    uint32_t r;
    std::memcpy(&r, pair, 4);
    return r;
}

uint32_t float_to_fixed_16(float c, int shift) { return float_to_fixed_8(c, c, shift); }

kl_resample_table *kl_resample_create_nearest(int edge) {
    if (!edge_ok(edge)) return nullptr;
    return make_table(0, edge, edge, 0, 0, 1, 1, 8);
}

kl_resample_table *kl_resample_create_bilinear(int subsH, int subsV, int type, int edge) {
    if (!edge_ok(edge) || !subs_ok(subsH) || !subs_ok(subsV)) return nullptr;
    kl_resample_table *t = make_table(1, edge, edge, subsH, subsV, 2, 2, type);
    if (!t) return nullptr;
    for (int dir = 0; dir < 2; ++dir) {
        const int n = dir ? subsV : subsH;
        int16_t *f = dir ? t->filterV : t->filterH;
        for (int i = 0; i < n; ++i) {
            const float tt = static_cast<float>(i) / static_cast<float>(n);
            put_weight(f + kPhaseShorts * i, t->layout, 0, fixed(std::trunc((1.0f - tt) * 16384.0f)));
            put_weight(f + kPhaseShorts * i, t->layout, 1, fixed(std::trunc(tt * 16384.0f)));
        }
    }
    return t;
}

kl_resample_table *kl_resample_create_bicubic(int subsH, int subsV, int type, int edge) {
    if (!edge_ok(edge) || !subs_ok(subsH) || !subs_ok(subsV)) return nullptr;
    kl_resample_table *t = make_table(2, edge, edge, subsH, subsV, 4, 4, type);
    if (!t) return nullptr;
    for (int dir = 0; dir < 2; ++dir) {
        const int n = dir ? subsV : subsH;
        int16_t *f = dir ? t->filterV : t->filterH;
        for (int i = 0; i < n; ++i) {
            const double x = static_cast<float>(i) / static_cast<float>(n);
            const double w[4] = {-0.5 * x * x * x + x * x - 0.5 * x, 1.5 * x * x * x - 2.5 * x * x + 1,
                                 -1.5 * x * x * x + 2 * x * x + 0.5 * x, 0.5 * x * x * x - 0.5 * x * x};
            for (int k = 0; k < 4; ++k)
                put_weight(f + kPhaseShorts * i, t->layout, k, fixed(static_cast<float>(w[k]) * 16384.0));
        }
    }
    return t;
}

kl_resample_table *kl_resample_create_general(const float *coeffsH, const float *coeffsV, int subsH, int subsV,
                                              int widthH, int widthV, int type, int edgeH, int edgeV) {
    if (!edge_ok(edgeH) || !edge_ok(edgeV)) return nullptr;
    if (widthH < 1 || widthH > KL_MAXRESAMPLE || widthV < 1 || widthV > KL_MAXRESAMPLE) return nullptr;
    if ((widthH > 1 && (!coeffsH || !subs_ok(subsH))) || (widthV > 1 && (!coeffsV || !subs_ok(subsV))))
        return nullptr;
    kl_resample_table *t = make_table(3, edgeH, edgeV, subsH, subsV, widthH, widthV, type);
    if (!t) return nullptr;
    for (int dir = 0; dir < 2; ++dir) {
        const int n = dir ? subsV : subsH, width = dir ? widthV : widthH;
        const float *c = dir ? coeffsV : coeffsH;
        int16_t *f = dir ? t->filterV : t->filterH;
        if (width == 1) continue;
        for (int p = 0; p < n; ++p)
            for (int k = 0; k < width; ++k)
                put_weight(f + kPhaseShorts * p, t->layout, k,
                           fixed(static_cast<double>(c[static_cast<size_t>(p) * width + k]) * 16384.0));
    }
    return t;
}

void kl_resample_destroy(kl_resample_table *table) {
    if (!table) return;
    std::free(table->filterH);
    std::free(table->filterV);
    std::free(table);
}

long kl_resample_bufsize(kl_image *src, kl_image *dst, int filterwidthH, int *iTableH, int *iTableV) {
    Layout L;
    // The vertical width does not enter the size (the row term allows for 8).
    if (!plan(L, src, dst, filterwidthH, 1, iTableH, iTableV)) return 0;
    return static_cast<long>(L.total);
}

int kl_resample_general(kl_image *src, kl_image *dst, int filterwidthH, int filterwidthV, int *iTableH,
                        int *iTableV, int16_t **phasesH, int16_t **phasesV, int integer_scale, int edgeH, int edgeV,
                        void *buffer) {
    (void)integer_scale;  // the integer-factor forms compute the same bytes
    Layout L;
    if (!src || !dst || src->type != dst->type || src->bpp != dst->bpp) return 0;
    if ((edgeH != KL_EDGE_ZERO_FILL && edgeH != KL_EDGE_EXTEND) ||
        (edgeV != KL_EDGE_ZERO_FILL && edgeV != KL_EDGE_EXTEND))
        return 0;
    if (!plan(L, src, dst, filterwidthH, filterwidthV, iTableH, iTableV)) return 0;
    if ((filterwidthH > 1 && !phasesH) || (filterwidthV > 1 && !phasesV)) return 0;
    // The scratch and the row ring assume index tables that never decrease.
    for (int i = 1; i < dst->w; ++i)
        if (iTableH[i] < iTableH[i - 1]) return 0;
    for (int j = 1; j < dst->h; ++j)
        if (iTableV[j] < iTableV[j - 1]) return 0;
    // Extend has nothing to repeat where no pixel is readable.
    const long long xlo = -static_cast<long long>(src->x), xhi = static_cast<long long>(src->w) + src->padx;
    const long long ylo = -static_cast<long long>(src->y), yhi = static_cast<long long>(src->h) + src->pady;
    if ((edgeH == KL_EDGE_EXTEND && xlo >= xhi) || (edgeV == KL_EDGE_EXTEND && ylo >= yhi)) return 0;
    const int layout = src->type;
    const int spp = L.spp, fwH = filterwidthH, fwV = filterwidthV, group = L.esz == 1 ? 8 : 4;
    u8 *own = nullptr;
    if (!buffer) {
        own = static_cast<u8 *>(std::malloc(L.total));
        if (!own) return 0;
        buffer = own;
    }
    u8 *buf = static_cast<u8 *>(buffer);
    uint64_t *block = reinterpret_cast<uint64_t *>(buf + L.block);
    const size_t rowbytes = align8(static_cast<size_t>(L.dn) * L.esz);
    u8 *ring = buf + L.ring, *zero = buf + L.zero;
    uint64_t *out = reinterpret_cast<uint64_t *>(buf + L.out);
    int *slot = reinterpret_cast<int *>(buf + L.slots);

    std::memset(zero, 0, rowbytes);
    const kl_impl &impl = kl_impl_active();
    kl_resample_h hp{};
    hp.iTableH = iTableH;
    hp.phases = phasesH;
    hp.b0 = L.b0;
    hp.nb = L.b1 - L.b0;
    hp.extend = edgeH == KL_EDGE_EXTEND;
    hp.spp = spp;
    hp.fw = fwH;
    hp.layout = layout;
    hp.w = dst->w;
    hp.block = block;
    hp.out = out;
    hp.plan = nullptr;
    if (const kl_resample_plan_fn prep = impl.resample_plan[L.esz == 2]) prep(hp, buf + L.plan, L.total - L.plan);
    // Block words: the source pixels [b0, b1), then one zero pixel (the plan,
    // where there is one, takes the block's place).
    if (!hp.plan) std::memset(block + static_cast<size_t>(L.b1 - L.b0) * spp, 0, 8 * static_cast<size_t>(spp));

    // Source rows: real rows get a ring slot when filtered; zero rows (zero
    // fill above or below the margins) read the zero row.
    auto real_row = [&](long long r) -> long long {
        if (r >= ylo && r < yhi) return r;
        if (edgeV == KL_EDGE_ZERO_FILL) return LLONG_MIN;
        return r < ylo ? ylo : yhi - 1;
    };
    // The real rows read, [qlo, qhi]; slot[r - qlo] is -2 for a row no
    // destination row reads, -1 for one still to filter, else its ring slot.
    long long qlo, qhi;
    if (edgeV == KL_EDGE_EXTEND) {
        qlo = std::clamp<long long>(L.r0, ylo, yhi - 1);
        qhi = std::clamp<long long>(L.r1 - 1, ylo, yhi - 1);
    } else {
        qlo = std::max<long long>(L.r0, ylo);
        qhi = std::min<long long>(L.r1 - 1, yhi - 1);
    }
    for (long long r = qlo; r <= qhi; ++r) slot[r - qlo] = -2;
    for (int j = 0; j < dst->h; ++j)
        for (int k = 0; k < fwV; ++k) {
            const long long rr = real_row(static_cast<long long>(iTableV[j]) + k);
            if (rr != LLONG_MIN) slot[rr - qlo] = -1;
        }
    int next_slot = 0;

    // Filters the next `group` rows still to filter from `first` on; rows are
    // asked for in increasing order, so a ring slot is reused only once its
    // row is no longer read.
    auto filter_from = [&](long long first) {
        const u8 *rows[8];
        u8 *outs[8];
        int n = 0;
        for (long long r = first; n < group && r <= qhi; ++r) {
            if (slot[r - qlo] != -1) continue;
            rows[n] = src->data + r * src->lb + static_cast<std::ptrdiff_t>(L.b0) * src->bpp;
            outs[n] = ring + static_cast<size_t>(next_slot) * rowbytes;
            slot[r - qlo] = next_slot;
            next_slot = (next_slot + 1) % kRing;
            ++n;
        }
        impl.resample_h[L.esz == 2](hp, rows, outs, n);
    };

    const int mask = dst->bmask & ((1 << spp) - 1);
    const bool full = full_mask(dst, mask);
    // The block of filtered words is free again here: the vertical pass's work.
    for (int j = 0; j < dst->h; ++j) {
        const u8 *taps[KL_MAXRESAMPLE];
        for (int k = 0; k < fwV; ++k) {
            const long long rr = real_row(static_cast<long long>(iTableV[j]) + k);
            if (rr == LLONG_MIN) {
                taps[k] = zero;
                continue;
            }
            if (slot[rr - qlo] < 0) filter_from(rr);
            taps[k] = ring + static_cast<size_t>(slot[rr - qlo]) * rowbytes;
        }
        u8 *d = dst->data + static_cast<std::ptrdiff_t>(j) * dst->lb;
        int wk[KL_MAXRESAMPLE] = {};
        for (int k = 0; fwV > 1 && k < fwV; ++k) wk[k] = weight(phasesV[j], layout, k);
        impl.resample_v[L.esz == 2](dst, d, mask, full, taps, wk, fwV, out);
    }
    std::free(own);
    return 1;
}

int kl_resample_general_reference(kl_image *src, kl_image *dst, int filterwidthH, int filterwidthV, int *iTableH,
                                  int *iTableV, int16_t **phasesH, int16_t **phasesV, int integer_scale, int edgeH,
                                  int edgeV, void *buffer) {
    (void)integer_scale;
    (void)buffer;
    if (!src || !dst || src->type != dst->type || src->bpp != dst->bpp) return 0;
    if (src->type != KL_BYTE && src->type != KL_SHORT) return 0;
    if ((edgeH != KL_EDGE_ZERO_FILL && edgeH != KL_EDGE_EXTEND) ||
        (edgeV != KL_EDGE_ZERO_FILL && edgeV != KL_EDGE_EXTEND))
        return 0;
    if (filterwidthH < 1 || filterwidthH > KL_MAXRESAMPLE || filterwidthV < 1 || filterwidthV > KL_MAXRESAMPLE ||
        !iTableH || !iTableV || (filterwidthH > 1 && !phasesH) || (filterwidthV > 1 && !phasesV))
        return 0;
    const int spp = spp_of(src), esz = src->type == KL_SHORT ? 2 : 1, layout = src->type;
    if (spp < 1 || spp > 4) return 0;
    const int mask = dst->bmask & ((1 << spp) - 1);
    const long long xlo = -static_cast<long long>(src->x), xhi = static_cast<long long>(src->w) + src->padx;
    const long long ylo = -static_cast<long long>(src->y), yhi = static_cast<long long>(src->h) + src->pady;
    if ((edgeH == KL_EDGE_EXTEND && xlo >= xhi) || (edgeV == KL_EDGE_EXTEND && ylo >= yhi)) return 0;
    auto get = [&](long long x, long long y, int b) -> float {
        if (x < xlo || x >= xhi) {
            if (edgeH == KL_EDGE_ZERO_FILL) return 0.0f;
            x = x < xlo ? xlo : xhi - 1;
        }
        if (y < ylo || y >= yhi) {
            if (edgeV == KL_EDGE_ZERO_FILL) return 0.0f;
            y = y < ylo ? ylo : yhi - 1;
        }
        const u8 *p = src->data + y * src->lb + x * src->bpp + b * esz;
        if (esz == 1) return static_cast<float>(*p);
        int16_t s;
        std::memcpy(&s, p, 2);
        return static_cast<float>(s);
    };
    auto fmult = [](float a, float w) { return a * w * 6.103515625e-5f; };
    for (int j = 0; j < dst->h; ++j) {
        for (int i = 0; i < dst->w; ++i) {
            for (int b = 0; b < spp; ++b) {
                if (!(mask >> (spp - 1 - b) & 1)) continue;
                float sum = 0.0f;
                for (int l = 0; l < filterwidthV; ++l) {
                    const float wv = filterwidthV > 1 ? weight(phasesV[j], layout, l) : 16384.0f;
                    for (int k = 0; k < filterwidthH; ++k) {
                        const float wh = filterwidthH > 1 ? weight(phasesH[i], layout, k) : 16384.0f;
                        sum += fmult(fmult(get(iTableH[i] / spp + k, iTableV[j] + l, b), wh), wv);
                    }
                }
                u8 *d = dst->data + static_cast<std::ptrdiff_t>(j) * dst->lb + static_cast<std::ptrdiff_t>(i) * dst->bpp + b * esz;
                const float t = std::trunc(sum);
                if (esz == 1) {
                    *d = static_cast<u8>(t < 0.0f ? 0.0f : t > 255.0f ? 255.0f : t);
                } else {
                    const int16_t v = static_cast<int16_t>(t < -32768.0f ? -32768.0f : t > 32767.0f ? 32767.0f : t);
                    std::memcpy(d, &v, 2);
                }
            }
        }
    }
    return 1;
}

}  // extern "C"

namespace {

// Phase entries of the bilinear 2x path (8-bit layout): the destination
// centres fall a quarter and three quarters past a source pixel.
alignas(32) const int16_t kQuarter[2][kPhaseShorts] = {{12288, 4096}, {4096, 12288}};

// A kl_scale call made ready: arguments checked, the destination restricted
// to the selected bands, the translation of the bilinear 2x path snapped, the
// process-wide controls read once.
struct Scale {
    kl_image d;
    int spp = 0, fwH = 0, fwV = 0, integer_scale = 0;
    double xs = 0, ys = 0, tx = 0, ty = 0;
    bool nothing = false;  // a successful call that writes nothing
    bool bl2x = false, nn2x = false, reference = false;
    Print print{};
    size_t ints = 0, ptrs = 0, work = 0, total = 0;  // offsets into the workspace and its size
};

// False for arguments no builder and driver make.
bool prepare(Scale &S, int mask, kl_image *dst, kl_image *src, float xscale, float yscale, float xtrans,
             float ytrans, const kl_resample_table *table) {
    S.print = print_flags();
    S.reference = use_reference.load(std::memory_order_relaxed) != 0;
    const bool special = do_special_cases.load(std::memory_order_relaxed) != 0;
    if (!dst || !src || !table || src->type != dst->type || (src->type != KL_BYTE && src->type != KL_SHORT) ||
        src->bpp != dst->bpp ||
        (table->layout != src->type && (table->filterwidthH > 1 || table->filterwidthV > 1)) ||
        !edge_ok(table->edgeH) || !edge_ok(table->edgeV) || table->filterwidthH < 1 ||
        table->filterwidthH > KL_MAXRESAMPLE || table->filterwidthV < 1 || table->filterwidthV > KL_MAXRESAMPLE ||
        (table->filterwidthH > 1 && !table->filterH) || (table->filterwidthV > 1 && !table->filterV) ||
        !(xscale > 0.0f) || !(yscale > 0.0f) || !std::isfinite(xscale) || !std::isfinite(yscale) ||
        !std::isfinite(xtrans) || !std::isfinite(ytrans))
        return false;
    S.spp = spp_of(src);
    if (S.spp < 1 || S.spp > 4 || src->bands != dst->bands || src->w < 0 || src->h < 0) return false;
    S.d = *dst;
    kl_image &d = S.d;
    d.bmask = dst->bmask & mask & ((1 << S.spp) - 1);
    if (d.w < 1 || d.h < 1 || d.bmask == 0) {
        S.nothing = true;
        return true;
    }
    // A direction with no readable pixel reads zeros under zero fill and is
    // cut whole under no-write; extend has nothing to repeat.
    if ((table->edgeH == KL_EDGE_EXTEND && static_cast<long long>(src->x) + src->w + src->padx < 1) ||
        (table->edgeV == KL_EDGE_EXTEND && static_cast<long long>(src->y) + src->h + src->pady < 1))
        return false;
    S.xs = xscale;
    S.ys = yscale;
    S.tx = xtrans;
    S.ty = ytrans;
    S.integer_scale = S.xs == 1.0 || S.xs == 2.0 || S.xs == 3.0 || S.xs == 4.0 || S.xs == 5.0;
    S.fwH = table->filterwidthH;
    S.fwV = table->filterwidthV;
    const bool two = S.xs == 2.0 && S.ys == 2.0 && src->type == KL_BYTE;
    // Bilinear 2x: the destination centres fall on the quarter phases that a
    // translation within 0.01 of the half-pixel grid stands for.
    if (special && table->kind == 1 && two && src->bands == 1 && src->bpp == 1 && d.lb % 8 == 0) {
        const double fx = (S.tx + 0.5) - std::floor(S.tx + 0.5), fy = (S.ty + 0.5) - std::floor(S.ty + 0.5);
        if (fx <= 0.01 && fy <= 0.01) {
            S.bl2x = true;
            S.tx = std::floor(S.tx + 0.5) - 0.5;
            S.ty = std::floor(S.ty + 0.5) - 0.5;
        }
    }
    // Nearest neighbour of 8-bit samples (the 2x paths among them): pixel
    // gathers and line repeats without the filtering passes, same bytes.
    S.nn2x = special && table->kind == 0 && src->type == KL_BYTE;
    // Footprint bounds from the first and last column and row (the index
    // tables are monotonic); every position must fit the tables.
    long long hb[2], vb[2];
    for (int e = 0; e < 2; ++e) {
        const double ph = ((e ? d.w - 1 : 0) - S.tx) / S.xs - (S.fwH - 1) * 0.5;
        const double pv = ((e ? d.h - 1 : 0) - S.ty) / S.ys - (S.fwV - 1) * 0.5;
        if (!(std::fabs(ph) < kMaxPos) || !(std::fabs(pv) < kMaxPos)) return false;
        hb[e] = static_cast<long long>(std::floor(ph)) * S.spp;
        vb[e] = static_cast<long long>(std::floor(pv));
    }
    Layout L;
    if (!plan_span(L, src, &d, S.fwH, S.fwV, hb[0], hb[1], vb[0], vb[1])) return false;
    S.ints = 0;
    S.ptrs = align8(sizeof(int) * (static_cast<size_t>(d.w) + d.h));
    S.work = S.ptrs + sizeof(int16_t *) * (static_cast<size_t>(d.w) + d.h);
    S.total = S.work + L.total;
    return true;
}

// The phase entry of position pos (fl its floor) in a direction of two or more taps.
inline int16_t *phase_of(const Scale &S, const int16_t *filter, int subsamples, double pos, double fl) {
    if (S.bl2x) return const_cast<int16_t *>(kQuarter[pos - fl < 0.5 ? 0 : 1]);
    return const_cast<int16_t *>(filter) + kPhaseShorts * static_cast<int>(subsamples * (pos - fl));
}

// The index tables as ZOR_PRINT_TABLES shows them.
void print_tables(const Scale &S, const int *iTableH, const int *iTableV) {
    std::fprintf(stderr, "xscale = %lf, xtrans = %lf, step = %lf, pos = %lf.\n", S.xs, S.tx, 1.0 / S.xs,
                 -S.tx * (1.0 / S.xs));
    for (int i = 0; i < S.d.w; ++i) {
        const double pos = (i - S.tx) / S.xs - (S.fwH - 1) * 0.5;
        std::fprintf(stderr, "iTableH[%d] = %d (pos = %lf).\n", i, iTableH[i] / S.spp, pos);
    }
    for (int j = 0; j < S.d.h; ++j) {
        const double pos = (j - S.ty) / S.ys - (S.fwV - 1) * 0.5;
        std::fprintf(stderr, "iTableV[%d] = %d (pos = %lf).\n", j, iTableV[j], pos);
    }
}

int scale_in(Scale &S, kl_image *src, const kl_resample_table *table, u8 *ws) {
    kl_image &d = S.d;
    const int spp = S.spp, fwH = S.fwH, fwV = S.fwV;
    if (S.bl2x) {
        if (!last_bl2x.exchange(true, std::memory_order_relaxed) && S.print.special)
            std::fputs("Using optimized case for bl_8_1_2x.\n", stderr);
    } else if (last_bl2x.exchange(false, std::memory_order_relaxed) && S.print.special) {
        std::fputs("Fell out of special case.\n", stderr);
    }
    int *iTableH = reinterpret_cast<int *>(ws + S.ints), *iTableV = iTableH + d.w;
    int16_t **phH = reinterpret_cast<int16_t **>(ws + S.ptrs), **phV = phH + d.w;
    u8 *buffer = ws + S.work;
    for (int i = 0; i < d.w; ++i) {
        const double pos = (i - S.tx) / S.xs - (fwH - 1) * 0.5;
        const double fl = std::floor(pos);
        iTableH[i] = static_cast<int>(fl) * spp;
        if (fwH > 1) phH[i] = phase_of(S, table->filterH, table->subsamplesH, pos, fl);
    }
    for (int j = 0; j < d.h; ++j) {
        const double pos = (j - S.ty) / S.ys - (fwV - 1) * 0.5;
        const double fl = std::floor(pos);
        iTableV[j] = static_cast<int>(fl);
        if (fwV > 1) phV[j] = phase_of(S, table->filterV, table->subsamplesV, pos, fl);
    }
    if (S.print.tables) print_tables(S, iTableH, iTableV);
    if (S.nn2x) {
        for (int i = 0; i < d.w; ++i) iTableH[i] /= spp;
        kl_impl_active().resample_nearest(&d, src, d.bmask, iTableH, iTableV, table->edgeH, table->edgeV, buffer,
                                          S.xs == 2.0);
        return 1;
    }
    int edgeH = table->edgeH, edgeV = table->edgeV;
    int x0 = 0, x1 = d.w, y0 = 0, y1 = d.h;
    if (edgeH == KL_EDGE_NO_WRITE) {
        while (x0 < x1 && iTableH[x0] < 0) ++x0;
        while (x1 > x0 && static_cast<long long>(iTableH[x1 - 1]) + fwH * spp > static_cast<long long>(src->w) * spp) --x1;
        if (x0 == x1) return 1;
        edgeH = KL_EDGE_ZERO_FILL;
    }
    if (edgeV == KL_EDGE_NO_WRITE) {
        while (y0 < y1 && iTableV[y0] < 0) ++y0;
        while (y1 > y0 && static_cast<long long>(iTableV[y1 - 1]) + fwV > src->h) --y1;
        if (y0 == y1) return 1;
        edgeV = KL_EDGE_ZERO_FILL;
    }
    d.data += static_cast<std::ptrdiff_t>(x0) * d.bpp + static_cast<std::ptrdiff_t>(y0) * d.lb;
    d.w = x1 - x0;
    d.h = y1 - y0;
    int *tH = iTableH + x0, *tV = iTableV + y0;
    int16_t **pH = fwH > 1 ? phH + x0 : nullptr, **pV = fwV > 1 ? phV + y0 : nullptr;
    if (S.reference)
        return kl_resample_general_reference(src, &d, fwH, fwV, tH, tV, pH, pV, S.integer_scale, edgeH, edgeV, nullptr);
    // The trimmed call needs no more than the untrimmed one planned for.
    return kl_resample_general(src, &d, fwH, fwV, tH, tV, pH, pV, S.integer_scale, edgeH, edgeV, buffer);
}

}  // namespace

extern "C" {

long kl_scale_worksize(int mask, kl_image *dst, kl_image *src, float xscale, float yscale, float xtrans,
                       float ytrans, kl_resample_table *table) {
    Scale S;
    if (!prepare(S, mask, dst, src, xscale, yscale, xtrans, ytrans, table)) return -1;
    return S.nothing ? 0 : static_cast<long>(S.total);
}

int kl_scale_work(int mask, kl_image *dst, kl_image *src, float xscale, float yscale, float xtrans, float ytrans,
                  kl_resample_table *table, void *work) {
    Scale S;
    if (!prepare(S, mask, dst, src, xscale, yscale, xtrans, ytrans, table)) return 0;
    if (S.nothing) return 1;
    if (!work) return 0;
    return scale_in(S, src, table, static_cast<u8 *>(work));
}

int kl_scale(int mask, kl_image *dst, kl_image *src, float xscale, float yscale, float xtrans, float ytrans,
             kl_resample_table *table) {
    Scale S;
    if (!prepare(S, mask, dst, src, xscale, yscale, xtrans, ytrans, table)) return 0;
    if (S.nothing) return 1;
    void *work = std::malloc(S.total);
    if (!work) return 0;
    const int r = scale_in(S, src, table, static_cast<u8 *>(work));
    std::free(work);
    return r;
}

}  // extern "C"
