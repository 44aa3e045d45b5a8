#include "ref_arith.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace ref {
namespace {

int clamp8(long v) { return static_cast<int>(std::clamp<long>(v, 0, 255)); }
int clamp16(long v) { return static_cast<int>(std::clamp<long>(v, -32768, 32767)); }

// Effective band mask, or 0 when the kernel writes nothing.
unsigned effective(int band_mask, const kl_image &d, const kl_image &s1, const kl_image *s2, int sbytes) {
    const int n = d.bands;
    if (n < 1 || n > 4 || s1.bands != n || (s2 && s2->bands != n)) return 0;
    if (d.bpp != n * sbytes || s1.bpp != n * sbytes || (s2 && s2->bpp != n * sbytes)) return 0;
    if (d.w <= 0 || d.h <= 0) return 0;
    unsigned m = static_cast<unsigned>(band_mask & d.bmask & s1.bmask & (s2 ? s2->bmask : 0xf)) & 0xf;
    return m;
}

unsigned char *at(const kl_image &im, int i, int j, int k, int sbytes) {
    return im.data + static_cast<long>(j) * im.lb + static_cast<long>(i) * im.bpp + k * sbytes;
}
int get8(const kl_image &im, int i, int j, int k) { return *at(im, i, j, k, 1); }
int get16(const kl_image &im, int i, int j, int k) {
    int16_t v;
    std::memcpy(&v, at(im, i, j, k, 2), 2);
    return v;
}
void put8(const kl_image &im, int i, int j, int k, int v) { *at(im, i, j, k, 1) = static_cast<unsigned char>(v); }
void put16(const kl_image &im, int i, int j, int k, int v) {
    int16_t s = static_cast<int16_t>(v);
    std::memcpy(at(im, i, j, k, 2), &s, 2);
}

// Calls f(i, j, k) for every selected sample k of every pixel (i, j).
template <class F>
void each(const kl_image &d, unsigned m, F f) {
    if (!m) return;
    for (int j = 0; j < d.h; ++j)
        for (int i = 0; i < d.w; ++i)
            for (int k = 0; k < d.bands; ++k)
                if (m & (1u << (d.bands - 1 - k))) f(i, j, k);
}

long two(Op2 op, long a, long b) {
    switch (op) {
    case Op2::Add: return a + b;
    case Op2::Sub: return a - b;
    case Op2::Mpy: return a * b;
    case Op2::Max: return a > b ? a : b;
    case Op2::Min: return a <= b ? a : b;
    case Op2::And: return a & b;
    case Op2::Or: return a | b;
    case Op2::Xor: return a ^ b;
    }
    return 0;
}

long withk(OpK op, long a, long k) {
    switch (op) {
    case OpK::Add: return a + k;
    case OpK::Sub: return a - k;
    case OpK::KSub: return k - a;
    case OpK::And: return a & k;
    case OpK::Or: return a | k;
    case OpK::Xor: return a ^ k;
    }
    return 0;
}

bool logic(OpK op) { return op == OpK::And || op == OpK::Or || op == OpK::Xor; }

}  // namespace

void arith2_8(Op2 op, int band_mask, const kl_image &d, const kl_image &s1, const kl_image &s2) {
    each(d, effective(band_mask, d, s1, &s2, 1), [&](int i, int j, int k) {
        put8(d, i, j, k, clamp8(two(op, get8(s1, i, j, k), get8(s2, i, j, k))));
    });
}

void arith2_16(Op2 op, int band_mask, const kl_image &d, const kl_image &s1, const kl_image &s2) {
    if ((reinterpret_cast<uintptr_t>(d.data) | static_cast<uintptr_t>(d.lb)) & 1) return;
    each(d, effective(band_mask, d, s1, &s2, 2), [&](int i, int j, int k) {
        long r = two(op, get16(s1, i, j, k), get16(s2, i, j, k));
        put16(d, i, j, k, op == Op2::And || op == Op2::Or || op == Op2::Xor ? static_cast<int>(r) : clamp16(r));
    });
}

void arithk_8(OpK op, int band_mask, const kl_image &d, const kl_image &s, const short *k) {
    if (!k) return;
    each(d, effective(band_mask, d, s, nullptr, 1), [&](int i, int j, int b) {
        long c = logic(op) ? clamp8(k[b]) : k[b];
        put8(d, i, j, b, clamp8(withk(op, get8(s, i, j, b), c)));
    });
}

void arithk_16(OpK op, int band_mask, const kl_image &d, const kl_image &s, const short *k) {
    if (!k || ((reinterpret_cast<uintptr_t>(d.data) | static_cast<uintptr_t>(d.lb)) & 1)) return;
    each(d, effective(band_mask, d, s, nullptr, 2), [&](int i, int j, int b) {
        long r = withk(op, get16(s, i, j, b), k[b]);
        put16(d, i, j, b, logic(op) ? static_cast<int>(r) : clamp16(r));
    });
}

void mpyk_8(int band_mask, const kl_image &d, const kl_image &s, short *k, int shift, int round) {
    if (!k || d.bands < 1 || d.bands > 4) return;
    for (int b = 0; b < d.bands; ++b) k[b] = std::max<short>(k[b], 0);
    if (shift < 0 || shift > 15) return;
    const long R = round && shift >= 9 ? 1L << (shift - 9) : 0;
    each(d, effective(band_mask, d, s, nullptr, 1), [&](int i, int j, int b) {
        const long a = get8(s, i, j, b);
        // floor((a k + 128) / 256): a k + 128 is never negative here.
        const long v = (a * k[b] + 128) / 256 + R;
        put8(d, i, j, b, clamp8((v << (15 - shift)) / 128));
    });
}

void abs_16(int band_mask, const kl_image &d, const kl_image &s) {
    if ((reinterpret_cast<uintptr_t>(d.data) | static_cast<uintptr_t>(d.lb)) & 1) return;
    each(d, effective(band_mask, d, s, nullptr, 2), [&](int i, int j, int b) {
        const long a = get16(s, i, j, b);
        put16(d, i, j, b, a > 0 ? static_cast<int>(a) : clamp16(-a));
    });
}

}  // namespace ref
