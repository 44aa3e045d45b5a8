// Test buffers for the pixel kernels.
//
//  GuardBuf / GuardImage  source bytes placed right against an inaccessible
//                         page (after the last byte, or before the first), so
//                         that a kernel reading past the image faults.
//  DstBuf                 a destination image inside a randomly filled buffer
//                         with canary bytes before, between and after the
//                         rows, at any alignment mod 64, together with an
//                         "expected" twin that a reference model writes into;
//                         check() compares the two buffers whole and names the
//                         first differing byte.
//  make_image             a kl_image describing an area of such a buffer.
//
// Header-only; uses mmap/mprotect and GoogleTest's AssertionResult.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kl.h"

namespace kbuf {

inline size_t page_size() {
    static const size_t p = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return p;
}

// Fills n bytes with a reproducible pseudo-random sequence.
inline void fill_random(unsigned char *p, size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint32_t v = g();
        std::memcpy(p + i, &v, 4);
    }
    if (i < n) {
        uint32_t v = g();
        std::memcpy(p + i, &v, n - i);
    }
}

// A kl_image over caller-owned memory; bpp follows from type and bands.
inline kl_image make_image(int type, int bands, int bmask, void *data, int lb, int w, int h,
                           int fb = 0) {
    kl_image im;
    std::memset(&im, 0, sizeof im);
    im.fb = static_cast<int16_t>(fb);
    im.type = static_cast<int16_t>(type);
    im.bands = bands;
    im.bmask = bmask;
    im.data = static_cast<unsigned char *>(data);
    im.lb = lb;
    im.bpp = type == KL_SHORT ? 2 * bands : type == KL_BYTE ? bands : 0;
    im.w = w;
    im.h = h;
    return im;
}

enum class Guard { After, Before };

// n bytes in a private mapping; with Guard::After the byte after the last is
// the first byte of a PROT_NONE page, with Guard::Before the byte before the
// first is the last byte of one.
class GuardBuf {
public:
    GuardBuf(size_t n, Guard g) : n_(n) {
        const size_t ps = page_size();
        const size_t body = (n + ps - 1) / ps * ps;
        len_ = body + ps;
        void *m = mmap(nullptr, len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) {
            std::abort();
        }
        map_ = static_cast<unsigned char *>(m);
        if (g == Guard::After) {
            mprotect(map_ + body, ps, PROT_NONE);
            data_ = map_ + body - n;
        } else {
            mprotect(map_, ps, PROT_NONE);
            data_ = map_ + ps;
        }
    }
    GuardBuf(const GuardBuf &) = delete;
    GuardBuf &operator=(const GuardBuf &) = delete;
    GuardBuf(GuardBuf &&o) noexcept
        : map_(std::exchange(o.map_, nullptr)), len_(o.len_), data_(o.data_), n_(o.n_) {}
    ~GuardBuf() {
        if (map_) {
            munmap(map_, len_);
        }
    }
    unsigned char *data() const { return data_; }
    size_t size() const { return n_; }

private:
    unsigned char *map_ = nullptr;
    size_t len_ = 0;
    unsigned char *data_ = nullptr;
    size_t n_ = 0;
};

// A randomly filled source image of h rows of rowbytes bytes, lb apart, with
// no padding after the last row's last byte (Guard::After) or before the first
// row's first byte (Guard::Before). With Guard::After the first byte's
// alignment is fixed by the sizes: vary lb to vary it.
class GuardImage {
public:
    GuardImage(size_t rowbytes, int h, size_t lb, Guard g, uint32_t seed)
        : rowbytes_(rowbytes), h_(h), lb_(lb),
          buf_(h > 0 ? lb * static_cast<size_t>(h - 1) + rowbytes : 0, g) {
        fill_random(buf_.data(), buf_.size(), seed);
    }
    unsigned char *data() const { return buf_.data(); }
    unsigned char *row(int j) const { return buf_.data() + static_cast<size_t>(j) * lb_; }
    size_t size() const { return buf_.size(); }
    int lb() const { return static_cast<int>(lb_); }
    kl_image image(int type, int bands, int bmask, int w) const {
        return make_image(type, bands, bmask, data(), lb(), w, h_);
    }

private:
    size_t rowbytes_;
    int h_;
    size_t lb_;
    GuardBuf buf_;
};

// A destination of h rows of rowbytes bytes, lb apart (lb >= rowbytes), whose
// first byte lies at align (0..63) mod 64, with `margin` canary bytes before
// the first row and after the last row's lb. The whole buffer is random.
// expect() is a twin of the initial contents at the same offsets: a reference
// model writes into exp_data() with the same lb, and check() compares.
class DstBuf {
public:
    DstBuf(size_t rowbytes, int h, int align, size_t lb, uint32_t seed, size_t margin = 64)
        : rowbytes_(rowbytes), h_(h), lb_(lb) {
        const size_t m = (margin + 63) / 64 * 64;
        off_ = m + static_cast<size_t>(align & 63);
        size_ = off_ + lb * static_cast<size_t>(h > 0 ? h : 0) + m;
        const size_t alloc = (size_ + 63) / 64 * 64;
        buf_ = static_cast<unsigned char *>(std::aligned_alloc(64, alloc));
        fill_random(buf_, size_, seed);
        exp_.assign(buf_, buf_ + size_);
    }
    DstBuf(const DstBuf &) = delete;
    DstBuf &operator=(const DstBuf &) = delete;
    ~DstBuf() { std::free(buf_); }

    unsigned char *data() const { return buf_ + off_; }
    unsigned char *row(int j) const { return data() + static_cast<size_t>(j) * lb_; }
    unsigned char *exp_data() { return exp_.data() + off_; }
    int lb() const { return static_cast<int>(lb_); }
    unsigned char *base() const { return buf_; }
    size_t size() const { return size_; }

    kl_image image(int type, int bands, int bmask, int w, int fb = 0) const {
        return make_image(type, bands, bmask, data(), lb(), w, h_, fb);
    }

    // Where buffer byte i lies, in words.
    std::string where(size_t i) const {
        std::ostringstream s;
        const long rel = static_cast<long>(i) - static_cast<long>(off_);
        if (rel < 0) {
            s << "canary " << -rel << " byte(s) before the first row";
        } else if (h_ <= 0 || static_cast<size_t>(rel) >= lb_ * static_cast<size_t>(h_)) {
            s << "canary at data+" << rel << ", after the last row";
        } else {
            const size_t j = static_cast<size_t>(rel) / lb_, c = static_cast<size_t>(rel) % lb_;
            s << "row " << j << " byte " << c;
            if (c >= rowbytes_) {
                s << " (canary between rows, " << c - rowbytes_ << " past the row)";
            }
        }
        return s.str();
    }

    // Compares the whole buffer, canaries included, with the expected twin.
    ::testing::AssertionResult check() const {
        for (size_t i = 0; i < size_; ++i) {
            if (buf_[i] != exp_[i]) {
                size_t bad = 0;
                for (size_t k = i; k < size_; ++k) {
                    bad += buf_[k] != exp_[k];
                }
                return ::testing::AssertionFailure()
                       << "first difference at " << where(i) << ": got 0x" << std::hex
                       << int(buf_[i]) << ", expected 0x" << int(exp_[i]) << std::dec << " ("
                       << bad << " differing byte(s); rowbytes " << rowbytes_ << ", lb " << lb_
                       << ", h " << h_ << ", data mod 64 = " << (off_ & 63) << ")";
            }
        }
        return ::testing::AssertionSuccess();
    }

private:
    size_t rowbytes_;
    int h_;
    size_t lb_;
    size_t off_ = 0, size_ = 0;
    unsigned char *buf_ = nullptr;
    std::vector<unsigned char> exp_;
};

}  // namespace kbuf
