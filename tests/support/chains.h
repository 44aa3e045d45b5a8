// Chains of operations for any row of the path table, made from the row's
// params strings: the path fuzzer, the allocation-failure sweep and the
// driver plan test all build their calls here, so a new row is covered as
// soon as its parameter kinds are.
//
// Every choice comes from a decision source In: the fuzzer's input, or
// Plain, whose choices make a call the row's driver computes (given images
// of a layout it takes). In provides in(lo, hi), rarely(n), u32(), real(lo,
// hi), integer(lo, hi) and plain().
#pragma once

#include "wren_paths.h"
#include "zor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace chains {

// The first choice of every range, and the parameters the drivers compute.
struct Plain {
    int alt = 0;  // the lookup's form: 0 single, 1 one table per band
    int in(int lo, int) { return lo; }
    bool rarely(int) { return false; }
    uint32_t u32() { return 7; }
    float real(float lo, float) { return lo; }
    long integer(long lo, long) { return lo; }
    bool plain() const { return true; }
};

// What a call is made of; released in reverse.
struct Made {
    std::vector<ZorImage *> images;  // children after parents
    std::vector<ZorObject *> objects;
    std::vector<std::vector<uint8_t>> memory;  // the bytes of the images made over memory
    std::vector<std::unique_ptr<float[]>> floats;
    std::vector<std::unique_ptr<int32_t[]>> ints;
    std::vector<ZorOp *> ops;  // display first
    std::vector<std::string> unmade;  // kinds no maker could make
    unsigned kernel_w = 0, kernel_h = 0;  // the last kernel made
    int kernels = 0, thresholds = 0;      // made so far

    Made() = default;
    Made(const Made &) = delete;
    Made &operator=(const Made &) = delete;
    ~Made() {
        for (ZorOp *o : ops) o->destroy();
        for (auto i = objects.rbegin(); i != objects.rend(); ++i) (*i)->destroy();
        for (auto i = images.rbegin(); i != images.rend(); ++i) (*i)->destroy();
    }
    ZorImage *keep(ZorImage *img) {
        if (img) images.push_back(img);
        return img;
    }
    ZorObject *keep(ZorObject *o) {
        if (o) objects.push_back(o);
        return o;
    }
    // Parameter arrays hold at least 16 zeroed elements: an operation given
    // another row's name reads its parameters by that name's layout, which
    // the host would have set up for it.
    float *float_array(int n) {
        floats.emplace_back(new float[static_cast<size_t>(std::max(n, 16))]());
        return floats.back().get();
    }
    int32_t *int_array(int n) {
        ints.emplace_back(new int32_t[static_cast<size_t>(std::max(n, 16))]());
        return ints.back().get();
    }
};

// The items "slot:kind:option" of one operation's params string.
inline std::vector<std::string> items(const char *params) {
    std::vector<std::string> out;
    const std::string s = params ? params : "";
    for (size_t at = 0; at < s.size();) {
        size_t end = s.find(' ', at);
        if (end == std::string::npos) end = s.size();
        if (end > at) out.push_back(s.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// Values a threshold takes: mostly one side of a clamp of 8- or 16-bit
// samples. The first threshold of a chain sets the top of the clamp by default
// and the second the bottom (plainly: at 200 and 20).
template <class In>
void threshold_values(In &in, float *low, float *high, float *map, bool wide, bool second) {
    for (int k = 0; k < 4; ++k) {
        // 16-bit chains clamp a result of 0..255: mostly values there, now and then any sample.
        const float v = in.plain() ? (second ? 20.0f : 200.0f)
                                   : static_cast<float>(wide && in.rarely(4) ? in.in(-32768, 32767) : in.in(0, 255));
        const int form = in.in(0, 3);
        switch (second && form < 2 ? 1 - form : form) {
        case 0: low[k] = map[k] = v, high[k] = wide ? 32767.0f : 255.0f; break;
        case 1: high[k] = map[k] = v, low[k] = wide ? -32768.0f : 0.0f; break;
        case 2: low[k] = in.real(-300, 300), high[k] = in.real(-300, 300), map[k] = in.real(-300, 300); break;
        default: low[k] = v, high[k] = 255.0f, map[k] = v + static_cast<float>(in.in(-2, 2)); break;
        }
    }
}

// A lookup of 1 to 4 bands, single or one table per band, with odd offsets
// and entry counts; plainly one of `bands` bands, offset 10 and 100 entries
// (single) or -5 and 300 (per band).
template <class In>
ZorObject *lookup(Made &c, In &in, bool wide, unsigned bands, bool combined) {
    if (!in.plain()) bands = static_cast<unsigned>(in.rarely(16) ? in.in(0, 6) : in.in(1, 4));
    const unsigned most = wide ? 65536u : 256u;
    auto entries = [&] {
        if (in.plain()) return combined ? 300u : 100u;
        if (in.rarely(4)) return most;
        return static_cast<unsigned>(in.rarely(16) ? in.in(0, 70000) : in.in(1, static_cast<int>(most)));
    };
    auto offset = [&] {
        if (in.plain()) return combined ? -5 : 10;
        if (in.rarely(3)) return wide ? -32768 : 0;
        return static_cast<int>(in.integer(wide ? -33000 : -300, wide ? 33000 : 300));
    };
    std::vector<uint8_t> values(size_t{6} * 70000 + 8);  // the most bands times the most entries drawn
    for (size_t i = 0, seed = in.u32(); i < values.size(); ++i) values[i] = static_cast<uint8_t>((i + seed) * 37 >> 2);
    if (!combined) return c.keep(ZorLookup::create(bands, offset(), entries(), values.data()));
    unsigned n[4];
    int o[4];
    const uint8_t *t[4];
    for (unsigned k = 0; k < 4; ++k) {
        n[k] = entries();
        o[k] = offset();
        t[k] = values.data() + k;
    }
    return c.keep(ZorLookup::createCombined(bands, n, o, t));
}

// Sets the parameter an item "slot:kind:option" names on op; false when no
// maker here knows the kind. has_src: op reads an image (a lookup that does
// not reads a zoom and takes one band).
template <class In>
bool param(Made &c, In &in, ZorOp *op, const std::string &slot, const std::string &kind, const std::string &name,
           bool wide, bool has_src, int alt) {
    const int i = slot.back() - '0';
    const bool plain = in.plain();
    if (kind == "floats" || kind == "values") {
        float *v = c.float_array(4);
        const float constants[4] = {3.5f, 0.25f, -2.0f, 7.0f}, values[4] = {10, 20, 30, 40};
        for (int k = 0; k < 4; ++k) {
            if (plain) {
                v[k] = name == "scale" ? (wide ? 1.0f / 128 : 2.0f)
                       : name == "offset" ? (wide ? 100.0f : -10.0f)
                       : kind == "values" ? values[k]
                                          : constants[k];
            } else if (name == "scale" && !in.rarely(4)) {  // mostly of the size that maps samples into 0..255
                v[k] = wide ? in.real(-0.02f, 0.02f) : in.real(-4, 4);
            } else {
                v[k] = in.rarely(2) ? static_cast<float>(in.in(-2, 260)) : in.real(-300, 300);
            }
        }
        op->setPtrParam(i, v);
    } else if (kind == "ints") {
        int32_t *v = c.int_array(4);
        const int32_t plain_ints[4] = {0x5a, 0x0f, 0xf0, 0x33};
        for (int k = 0; k < 4; ++k) v[k] = plain ? plain_ints[k] : static_cast<int32_t>(in.integer(0, 255));
        op->setPtrParam(i, v);
    } else if (kind == "lookup") {
        const bool combined = plain ? alt == 1 : in.rarely(3);
        op->setObjParam(i, lookup(c, in, wide, has_src ? 4 : 1, combined));
    } else if (kind == "matrix") {
        float *m = c.float_array(6);
        const float a = plain ? 0.37f : in.real(-4, 4), s = plain ? 0.96f : in.real(0.1f, 4);
        const float base[6] = {s * std::cos(a), s * std::sin(a), -s * std::sin(a), s * std::cos(a),
                               plain ? 4.0f : in.real(-64, 64), plain ? -2.0f : in.real(-64, 64)};
        for (int k = 0; k < 6; ++k) m[k] = in.rarely(8) ? in.real(-10, 10) : base[k];
        op->setPtrParam(i, m);
    } else if (kind == "scale") {
        const float common[] = {2, 1, 4, 0.5f, 0.25f, 3, 8};
        op->setFloatParam(i, in.rarely(2) ? in.real(0.01f, 16) : common[in.in(0, 6)]);
    } else if (kind == "angle") {
        op->setFloatParam(i, plain ? 0.3f : in.rarely(2) ? in.real(-7, 7) : static_cast<float>(in.in(-4, 4) * M_PI / 2));
    } else if (kind == "flip") {
        const long common[] = {0, 1, 5};
        op->setLongParam(i, in.rarely(4) ? in.integer(-2, 8) : common[in.in(0, 2)]);
    } else if (kind == "edge") {
        op->setLongParam(i, in.rarely(4) ? in.integer(-2, 4) : in.in(0, 2));
    } else if (kind == "kernel") {
        // Plainly 3 x 3, or 3 x 1 then 1 x 3 where the row takes two.
        const int n = 2 * in.in(1, 3) + 1;
        unsigned w = static_cast<unsigned>(in.rarely(2) ? in.in(1, 9) : in.rarely(2) ? 1 : n);
        unsigned h = static_cast<unsigned>(in.rarely(2) ? in.in(1, 9) : in.rarely(2) ? 1 : n);
        if (plain && c.kernels == 1) w = 1;  // the second of two
        if (plain && c.kernels == 0 && alt < 0) h = 1;  // the first of two
        // A second kernel in the chain (the separable pair) is often the first one turned.
        if (c.kernel_w && in.rarely(2)) w = c.kernel_h, h = c.kernel_w;
        c.kernel_w = w, c.kernel_h = h;
        ++c.kernels;
        float *v = c.float_array(static_cast<int>(w * h));
        for (unsigned k = 0; k < w * h; ++k) v[k] = in.rarely(2) ? in.real(-4, 4) : 1.0f / static_cast<float>(w * h);
        const int kx = in.rarely(4) ? in.in(-1, 9) : static_cast<int>(w / 2);
        const int ky = in.rarely(4) ? in.in(-1, 9) : static_cast<int>(h / 2);
        // A kernel the host refuses (a key outside it) leaves the parameter unset.
        if (ZorObject *k = c.keep(ZorKernel::create(w, h, v, kx, ky))) op->setObjParam(i, k);
    } else if (kind == "itable") {
        const int size = in.rarely(4) ? in.in(0, 9) : 2 * in.in(1, 3);
        const int subsamples = in.rarely(4) ? in.in(0, 300) : 1 << in.in(0, 8);
        float *v = c.float_array(std::max(1, size * subsamples));
        for (int k = 0; k < size * subsamples; ++k) v[k] = in.rarely(2) ? in.real(-1, 2) : 1.0f / std::max(1, size);
        // A table the host refuses (no taps, too many phases) leaves the parameter unset.
        if (ZorObject *t = c.keep(ZorInterpolationTable::create(size, subsamples, v))) op->setObjParam(i, t);
    } else {
        return false;
    }
    return true;
}

// Images of a call: source(0 or 1, shorts) for src1 and src2 of the
// operation, source(2, false) for the result image of an operation that reads
// none (or now and then another).
using Sources = std::function<ZorImage *(int which, bool shorts)>;

// The operations of a row over the window image dst, display side first,
// linked through op1, in c.ops; false when a parameter kind cannot be made
// (the kinds go to c.unmade).
template <class In>
bool chain(Made &c, In &in, const WrenPath &row, ZorImage *dst, const Sources &source, int alt = 0,
           const WrenPath *rows = nullptr, int nrows = 0) {
    const int n = row.count() - 1;
    int kernels = 0;
    for (int j = 0; j < n; ++j) kernels += std::string(row.params[j]).find(":kernel:") != std::string::npos;
    std::vector<ZorOp *> ops(static_cast<size_t>(n), nullptr);
    for (int j = n - 1; j >= 0; --j) {
        const std::vector<std::string> its = items(row.params[j]);
        bool has_src = false, wide = false;
        for (const std::string &it : its) has_src |= it.rfind("src", 0) == 0, wide |= it == "src1:shorts";
        ZorImage *s1 = nullptr, *s2 = nullptr, *res = nullptr;
        for (const std::string &it : its) {
            if (it.rfind("src1", 0) == 0) s1 = source(0, it == "src1:shorts");
            if (it.rfind("src2", 0) == 0) s2 = source(1, false);
        }
        // An operation the display does not read directly may have a result image.
        if (!has_src || (j > 0 && in.rarely(2)) || in.rarely(16)) {
            if (in.rarely(4) || !has_src) res = source(2, false);
        }
        const char *name = row.names[j];
        if (rows && in.rarely(64)) name = rows[in.in(0, nrows - 1)].names[0];
        if (in.rarely(64)) s1 = nullptr;
        ZorOp *op = ZorOp::create(name, res, s1, s2, j + 1 < n ? ops[static_cast<size_t>(j + 1)] : nullptr);
        if (!op) return false;
        ops[static_cast<size_t>(j)] = op;
        c.ops.insert(c.ops.begin(), op);
        const bool threshold = std::string(row.params[j]).find("floats:low") != std::string::npos;
        for (const std::string &it : its) {
            const size_t a = it.find(':'), b = a == std::string::npos ? a : it.find(':', a + 1);
            if (b == std::string::npos) continue;  // a source
            const std::string slot = it.substr(0, a), kind = it.substr(a + 1, b - a - 1), pname = it.substr(b + 1);
            if (in.rarely(48)) continue;  // a parameter the host never set
            if (threshold && kind == "floats") continue;
            if (!param(c, in, op, slot, kind, pname, wide, has_src, kernels == 2 && c.kernels == 0 ? -1 : alt)) {
                c.unmade.push_back(kind);
            }
        }
        if (threshold) {
            float *low = c.float_array(4), *high = c.float_array(4), *map = c.float_array(4);
            threshold_values(in, low, high, map, std::string(name).find("16") != std::string::npos, c.thresholds++ == 1);
            op->setPtrParam(1, low);
            op->setPtrParam(2, high);
            op->setPtrParam(3, map);
        }
    }
    ZorOp *display = ZorOp::create(ZOR_DISPLAY_IO_WREN, dst, nullptr, nullptr, n ? ops[0] : nullptr);
    if (!display) return false;
    c.ops.insert(c.ops.begin(), display);
    return c.unmade.empty();
}

}  // namespace chains
