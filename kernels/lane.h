// Partitioned pixel arithmetic on 8-byte words.
//
// Layout. A word is the native uint64_t loaded from 8 bytes of memory: byte k
// of memory (k = 0 at the lowest address) sits at bits 8k..8k+7. Lanes are
// numbered from the lowest address:
//   - byte lanes b0..b7, b_k at bits 8k;
//   - 16-bit lanes L0..L3, L_k the native short at bits 16k (bytes 2k, 2k+1);
//   - 32-bit lanes W0, W1, W_k the native int at bits 32k.
// A 4-byte value (uint32_t) has byte lanes a0..a3 at bits 8k, or 16-bit lanes
// L0, L1 at bits 0 and 16. The first half of a word (bytes 0-3) is its low 32
// bits, the second half (bytes 4-7) its high 32 bits.
//
// Masks. Byte-enable masks are 8 bits with bit 7 selecting byte 0 (the lowest
// address) and bit 0 byte 7; 16-bit lane masks are 4 bits with bit 3 selecting
// L0. This is the bit order of the band patterns in kl.h, so they are used as
// they stand.
//
// Everything here is header-only and free of undefined behaviour for every
// operand value: shifts are bounded, signed intermediate values are exact in a
// wider type, and memory is accessed through memcpy (no alignment or aliasing
// assumptions beyond those stated per function).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

// ---- Word access -----------------------------------------------------------

// Whole-word load and store (any alignment; the kernels use multiples of 8).
static inline uint64_t lane_load(const void *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
static inline void lane_store(void *p, uint64_t w) { std::memcpy(p, &w, 8); }

static inline uint32_t lane_load32(const void *p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}
static inline void lane_store32(void *p, uint32_t w) { std::memcpy(p, &w, 4); }

// Halves of a word as 4-byte values, and the word made of two halves.
static constexpr uint32_t lane_half0(uint64_t w) { return static_cast<uint32_t>(w); }
static constexpr uint32_t lane_half1(uint64_t w) { return static_cast<uint32_t>(w >> 32); }
static constexpr uint64_t lane_join(uint32_t h0, uint32_t h1) {
    return static_cast<uint64_t>(h0) | (static_cast<uint64_t>(h1) << 32);
}

// Lane extraction and insertion.
static constexpr int16_t lane_get16(uint64_t w, unsigned i) {
    return static_cast<int16_t>(static_cast<uint16_t>(w >> (16 * (i & 3))));
}
static constexpr uint64_t lane_put16(int32_t v, unsigned i) {
    return static_cast<uint64_t>(static_cast<uint16_t>(v)) << (16 * (i & 3));
}
static constexpr int32_t lane_get32(uint64_t w, unsigned i) {
    return static_cast<int32_t>(static_cast<uint32_t>(w >> (32 * (i & 1))));
}
static constexpr uint64_t lane_put32(int64_t v, unsigned i) {
    return static_cast<uint64_t>(static_cast<uint32_t>(v)) << (32 * (i & 1));
}

// ---- Widening and narrowing ------------------------------------------------

// Four unsigned bytes to four 16-bit lanes: L_i = a_i * 16.
static constexpr uint64_t lane_expand(uint32_t a) {
    uint64_t x = a;
    x = ((x & 0xffff0000u) << 16) | (x & 0xffffu);
    x = ((x & 0x0000ff000000ff00ull) << 8) | (x & 0x000000ff000000ffull);
    return x << 4;
}

// Four signed 16-bit lanes to four bytes: b_i = clamp(floor(v_i * 2^s / 128), 0, 255).
// Computed on all four lanes at once: negative lanes give 0; a lane of
// magnitude u gives u >> (7 - s) for s <= 7 and u << (s - 7) for s > 7, 255
// once that reaches 256.
static constexpr uint32_t lane_pack16(uint64_t v, unsigned s) {
    constexpr uint64_t ONE = 0x0001000100010001ull, SIGN = 0x8000800080008000ull;
    s &= 15;
    const uint64_t neg = ((v & SIGN) >> 15) * 0xffffu;  // 0xffff in negative lanes
    const uint64_t u = v & ~SIGN;                       // 0..32767 per lane
    uint64_t t, over;
    if (s <= 7) {
        const unsigned k = 7 - s;
        t = (u >> k) & ((0xffffu >> k) * ONE);
        over = (((t + 0x7f00u * ONE) & SIGN) >> 15) * 0xffffu;  // t >= 256
    } else {
        const unsigned k = s - 7;  // 1..8: u << k >= 256 exactly when u >= 2^(8 - k)
        over = (((u + (0x8000u - (0x100u >> k)) * ONE) & SIGN) >> 15) * 0xffffu;
        t = (u & ~over) << k;
    }
    t = (t | over) & ~neg & (0xffu * ONE);
    t = (t | (t >> 8)) & 0x0000ffff0000ffffull;
    return static_cast<uint32_t>(t | (t >> 16));
}

// Two signed 32-bit lanes: c_i = clamp(floor(v_i * 2^s / 2^23), 0, 255) is
// appended after the bytes already gathered in lane W_i of acc: the lane's
// bytes move one place toward the lower address and c_i becomes the lane's
// last byte (memory order). Four calls with c = 1, 2, 3, 4 leave the bytes
// 01 02 03 04 in memory order in each half.
static constexpr uint64_t lane_pack32(uint64_t acc, uint64_t v, unsigned s) {
    s &= 31;
    uint64_t r = 0;
#pragma GCC unroll 8
    for (unsigned i = 0; i < 2; ++i) {
        int64_t t = (static_cast<int64_t>(lane_get32(v, i)) << s) >> 23;
        t = t < 0 ? 0 : (t > 255 ? 255 : t);
        uint32_t lane = static_cast<uint32_t>(acc >> (32 * i));
        lane = (lane >> 8) | (static_cast<uint32_t>(t) << 24);
        r |= static_cast<uint64_t>(lane) << (32 * i);
    }
    return r;
}

// Two signed 32-bit lanes to two signed 16-bit lanes:
// L_i = clamp(floor(v_i * 2^s / 65536), -32768, 32767).
static constexpr uint32_t lane_packfix(uint64_t v, unsigned s) {
    s &= 31;
    uint32_t r = 0;
#pragma GCC unroll 8
    for (unsigned i = 0; i < 2; ++i) {
        int64_t t = (static_cast<int64_t>(lane_get32(v, i)) << s) >> 16;
        t = t < -32768 ? -32768 : (t > 32767 ? 32767 : t);
        r |= static_cast<uint32_t>(static_cast<uint16_t>(t)) << (16 * i);
    }
    return r;
}

// ---- Multiplication --------------------------------------------------------

// Four unsigned bytes times four signed 16-bit lanes:
// L_i = floor((a_i * b_i + 128) / 256).
static constexpr uint64_t lane_mul8x16(uint32_t a, uint64_t b) {
    uint64_t r = 0;
#pragma GCC unroll 8
    for (unsigned i = 0; i < 4; ++i) {
        int32_t ai = static_cast<int32_t>((a >> (8 * i)) & 0xff);
        r |= lane_put16((ai * lane_get16(b, i) + 128) >> 8, i);
    }
    return r;
}

// Two 16-bit lanes each: W_i = floor(a_i / 256) * b_i * 256, exact.
static constexpr uint64_t lane_muld8sux16(uint32_t a, uint32_t b) {
    uint64_t r = 0;
#pragma GCC unroll 8
    for (unsigned i = 0; i < 2; ++i) {
        int32_t hi = lane_get16(a, i) >> 8;
        r |= lane_put32(static_cast<int64_t>(hi) * lane_get16(b, i) * 256, i);
    }
    return r;
}

// Two 16-bit lanes each: W_i = (a_i mod 256) * b_i, exact.
static constexpr uint64_t lane_muld8ulx16(uint32_t a, uint32_t b) {
    uint64_t r = 0;
#pragma GCC unroll 8
    for (unsigned i = 0; i < 2; ++i) {
        int32_t lo = static_cast<int32_t>((a >> (16 * i)) & 0xff);
        r |= lane_put32(static_cast<int64_t>(lo) * lane_get16(b, i), i);
    }
    return r;
}

// ---- Addition and subtraction (modular per lane) ---------------------------

static constexpr uint64_t lane_add16(uint64_t a, uint64_t b) {
    constexpr uint64_t H = 0x8000800080008000ull;
    return ((a & ~H) + (b & ~H)) ^ ((a ^ b) & H);
}
static constexpr uint64_t lane_sub16(uint64_t a, uint64_t b) {
    constexpr uint64_t H = 0x8000800080008000ull;
    return ((a | H) - (b & ~H)) ^ ((a ^ ~b) & H);
}
static constexpr uint64_t lane_add32(uint64_t a, uint64_t b) {
    constexpr uint64_t H = 0x8000000080000000ull;
    return ((a & ~H) + (b & ~H)) ^ ((a ^ b) & H);
}
static constexpr uint64_t lane_sub32(uint64_t a, uint64_t b) {
    constexpr uint64_t H = 0x8000000080000000ull;
    return ((a | H) - (b & ~H)) ^ ((a ^ ~b) & H);
}
static constexpr uint32_t lane_add32(uint32_t a, uint32_t b) { return a + b; }
static constexpr uint32_t lane_sub32(uint32_t a, uint32_t b) { return a - b; }

// ---- Comparison ------------------------------------------------------------

// Signed 16-bit lane comparisons; bit 3 of the result is L0, bit 0 is L3.
static constexpr unsigned lane_cmp16_gt(uint64_t a, uint64_t b) {
    unsigned m = 0;
#pragma GCC unroll 8
    for (unsigned i = 0; i < 4; ++i) m |= static_cast<unsigned>(lane_get16(a, i) > lane_get16(b, i)) << (3 - i);
    return m;
}
static constexpr unsigned lane_cmp16_le(uint64_t a, uint64_t b) {
    unsigned m = 0;
#pragma GCC unroll 8
    for (unsigned i = 0; i < 4; ++i) m |= static_cast<unsigned>(lane_get16(a, i) <= lane_get16(b, i)) << (3 - i);
    return m;
}

// ---- Rearranging -----------------------------------------------------------

// Interleave two 4-byte values: a0 b0 a1 b1 a2 b2 a3 b3.
static constexpr uint64_t lane_merge(uint32_t a, uint32_t b) {
    uint64_t x = a, y = b;
    x = ((x & 0xffff0000u) << 16) | (x & 0xffffu);
    x = ((x & 0x0000ff000000ff00ull) << 8) | (x & 0x000000ff000000ffull);
    y = ((y & 0xffff0000u) << 16) | (y & 0xffffu);
    y = ((y & 0x0000ff000000ff00ull) << 8) | (y & 0x000000ff000000ffull);
    return x | (y << 8);
}

// ---- Edge masks ------------------------------------------------------------

// Byte enables for the word holding F of a span F..E (E >= F).
static constexpr unsigned lane_edge8(uintptr_t F, uintptr_t E) {
    unsigned left = 0xffu >> (F & 7);
    if ((F >> 3) == (E >> 3)) left &= (0xffu << (7 - (E & 7))) & 0xffu;
    return left;
}

// Byte-enable mask to a word of 0xff / 0x00 bytes (bit 7 = byte 0).
static constexpr uint64_t lane_bytemask8(unsigned m) {
    uint64_t r = 0;
#pragma GCC unroll 8
    for (unsigned k = 0; k < 8; ++k)
        if ((m >> (7 - k)) & 1) r |= uint64_t{0xff} << (8 * k);
    return r;
}

// 16-bit lane mask to a word of 0xffff / 0 lanes (bit 3 = L0).
static constexpr uint64_t lane_lanemask16(unsigned m) {
    uint64_t r = 0;
#pragma GCC unroll 8
    for (unsigned k = 0; k < 4; ++k)
        if ((m >> (3 - k)) & 1) r |= uint64_t{0xffff} << (16 * k);
    return r;
}

// ---- Memory access ---------------------------------------------------------

// Runs of set bits of every byte-enable mask (bit 7 = byte 0), so that a
// masked word is written with one store per run rather than one per byte.
struct lane_runs {
    uint8_t n, at[4], len[4];
};
struct lane_run_table {
    lane_runs r[256];
    constexpr lane_run_table() : r{} {
        for (unsigned m = 0; m < 256; ++m) {
            lane_runs x{};
            for (unsigned k = 0; k < 8;) {
                if (!((m >> (7 - k)) & 1)) {
                    ++k;
                    continue;
                }
                const unsigned s = k;
                while (k < 8 && ((m >> (7 - k)) & 1)) ++k;
                x.at[x.n] = static_cast<uint8_t>(s);
                x.len[x.n++] = static_cast<uint8_t>(k - s);
            }
            r[m] = x;
        }
    }
};
inline constexpr lane_run_table lane_run_of{};

// Bytes 0 .. len - 1 of w to p .. p + len - 1, 1 <= len <= 7.
static inline void lane_store_span(unsigned char *p, uint64_t w, unsigned len) {
    if (len & 4) {
        lane_store32(p, static_cast<uint32_t>(w));
        p += 4;
        w >>= 32;
    }
    if (len & 2) {
        const uint16_t v = static_cast<uint16_t>(w);
        std::memcpy(p, &v, 2);
        p += 2;
        w >>= 16;
    }
    if (len & 1) *p = static_cast<unsigned char>(w);
}

// Writes byte k of w to p + k for every k whose mask bit (7 - k) is set; other
// bytes of memory are neither read nor written. A full mask is one 8-byte store.
static inline void partial_store(void *p, uint64_t w, unsigned m) {
    unsigned char *d = static_cast<unsigned char *>(p);
    m &= 0xffu;
    if (m == 0xffu) {
        lane_store(d, w);
        return;
    }
    const lane_runs &r = lane_run_of.r[m];
    for (unsigned i = 0; i < r.n; ++i) lane_store_span(d + r.at[i], w >> (8 * r.at[i]), r.len[i]);
}

// Byte enables of a 16-bit lane mask (bit 3 = L0).
static constexpr unsigned lane_bytes16(unsigned m) {
    unsigned r = 0;
    for (unsigned k = 0; k < 4; ++k)
        if ((m >> (3 - k)) & 1) r |= 0xc0u >> (2 * k);
    return r;
}

// Writes lane L_k of w to p + 2k for every k whose mask bit (3 - k) is set.
static inline void partial_store16(void *p, uint64_t w, unsigned m) { partial_store(p, w, lane_bytes16(m & 0xfu)); }

// n bytes (0..8) from p into bytes 0..n-1 of an otherwise zero word; reads
// exactly those n bytes.
static inline uint64_t lane_load_n(const void *p, size_t n) {
    uint64_t w = 0;
    std::memcpy(&w, p, n < 8 ? n : 8);
    return w;
}

// Eight consecutive words stored at a 64-byte aligned address as one transfer.
static inline void block_store(void *p, const uint64_t words[8]) { std::memcpy(p, words, 64); }

// Waits for earlier block stores to complete before later loads of the same memory.
static inline void block_sync() { std::atomic_thread_fence(std::memory_order_seq_cst); }

// ---- Rows ------------------------------------------------------------------
//
// A row of n >= 1 bytes from address F is walked as the aligned 8-byte words
// that hold it: the head word holding F (when F is not aligned or the row is
// shorter than a word), a body of whole words, and the tail word holding the
// last byte (when it does not end a word). A word is known by its address A
// and its row offset q = A - F, negative for a head that starts before F.
//
// Band patterns are 24 bits: row byte j is enabled when bit (7 - j) mod 24 is
// set. 24 bytes hold a whole number of pixels of 1 to 4 samples of 8 or 16
// bits, so anything that depends on a byte's band (enables, constants) is a
// function of the byte's offset within the 24-byte cycle.

// Offset of row byte q within the 24-byte band cycle.
static constexpr unsigned lane_phase(ptrdiff_t q) { return static_cast<unsigned>((q % 24 + 24) % 24); }

// Enables of the 8 bytes from cycle offset o (0..23) under the 24-bit pattern
// p (bit 7 of the result = the first byte).
static constexpr unsigned lane_band8(uint32_t p, unsigned o) {
    p &= 0xffffffu;
    return (o ? (p << o) | (p >> (24 - o)) : p) & 0xffu;
}

// Row bytes q .. q + 7 of the n bytes at s, those outside the row as 0; reads
// only row bytes.
static inline uint64_t lane_load_row(const void *s, ptrdiff_t q, size_t n) {
    const ptrdiff_t lo = q > 0 ? q : 0, end = static_cast<ptrdiff_t>(n), hi = q + 8 < end ? q + 8 : end;
    if (hi <= lo) return 0;
    return lane_load_n(static_cast<const unsigned char *>(s) + lo, static_cast<size_t>(hi - lo)) << (8 * (lo - q));
}

// Walks the row [F, F + n), n >= 1: part(A, q, edge) for the head and tail
// words with their lane_edge8 masks, body(A, q, words) once for the whole
// words between them. Forward: head, body, tail; backward (Bwd): tail, body,
// head, and the body is expected to go from its last word to its first.
template <bool Bwd, class Part, class Body>
static inline void lane_row(uintptr_t F, size_t n, Part &&part, Body &&body) {
    const uintptr_t E = F + n - 1, A0 = F & ~uintptr_t{7}, hi = (E + 1) & ~uintptr_t{7};
    const bool head = A0 != F || n < 8;
    const uintptr_t lo = head ? A0 + 8 : A0;
    const bool tail = hi >= lo && hi <= E;
    const auto q = [F](uintptr_t A) { return static_cast<ptrdiff_t>(A - F); };
    if (head && !Bwd) part(A0, q(A0), lane_edge8(F, E));
    if (tail && Bwd) part(hi, q(hi), lane_edge8(hi, E));
    if (hi > lo) body(lo, q(lo), static_cast<size_t>(hi - lo) / 8);
    if (tail && !Bwd) part(hi, q(hi), lane_edge8(hi, E));
    if (head && Bwd) part(A0, q(A0), lane_edge8(F, E));
}

// The portable body: whole words of a row, each built by word(A, q) and
// stored under the band enables of its cycle offset (pattern p, a full
// pattern storing whole words), in the walk's direction.
template <bool Bwd, class Word>
static inline void lane_words(uintptr_t A, ptrdiff_t q, size_t k, uint32_t p, Word &&word) {
    if (Bwd) {
        A += 8 * (k - 1);
        q += static_cast<ptrdiff_t>(8 * (k - 1));
    }
    const ptrdiff_t step = Bwd ? -8 : 8;
    for (; k; --k, A += static_cast<uintptr_t>(step), q += step) {
        const uint64_t w = word(A, q);
        partial_store(reinterpret_cast<void *>(A), w, lane_band8(p, lane_phase(q)));
    }
}
