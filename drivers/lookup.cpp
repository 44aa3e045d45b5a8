// Table lookups into the window: "lookup8_8" (8-bit sources) and "lookup16_8"
// (signed 16-bit sources), 8-bit results.
//
// The host's lookup comes in two forms. A single lookup maps a one-band
// source to whole destination pixels through one table whose entries hold a
// byte per band; the kernels want 256 (65536) entries in their own layout
// (entries of 1, 2 or 4 bytes, a 3-band entry in bytes 1-3 of 4). A combined
// lookup holds one table per band; the kernels want a table of 256 (65536)
// bytes per selected destination band. A lookup that is already full (every
// input value, in the kernels' layout) is used in place and never copied;
// otherwise its tables are made once, with inputs below the first entry
// taking the first entry and inputs above the last the last, and kept in a
// process-wide cache until the lookup's version or the window's band layout
// changes (kept.h; lookup_tables also serves the quick zoom's lookup forms):
// a call keeps the tables it was handed while another call replaces them.
//
// Lookup band k goes to the k-th destination band that the window selects, so
// a full single lookup is used in place only when the window selects its
// first bands (a 4-band lookup into a window showing bands 1-3 is built).
// A 3-band source into a 24-bit window is widened to 4 bands first; a 16-bit
// single lookup into a 4-band window goes through scratch rows and is copied
// in.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "driver_frame.h"
#include "kept.h"
#include "wren_device.h"

namespace {

using wren::Masks;
using wren::Stage;

// Variant 0: a single lookup (one band in, whole window pixels out); 1: one
// table per band.
constexpr std::uint8_t kSingle = 1, kBands = 2;
constexpr wren::Layout layouts8[] = {
    {1, 0, 0, Masks::any, Stage::direct, 0, kSingle},
    {1, 0, 1, Masks::equal, Stage::direct, 0, kBands},
    {4, 0, 4, Masks::equal, Stage::direct, 0, kBands},
    {3, 0, 4, Masks::equal, Stage::widen1, 4, kBands},
};
// A 16-bit single lookup into several bands is looked up into scratch rows of
// window pixels and copied in.
constexpr wren::Layout layouts16[] = {
    {1, 0, 1, Masks::any, Stage::direct, 0, kSingle},
    {1, 0, 4, Masks::any, Stage::expand, 4, kSingle},
    {1, 0, 1, Masks::equal, Stage::direct, 0, kBands},
    {4, 0, 4, Masks::equal, Stage::direct, 0, kBands},
    {3, 0, 4, Masks::equal, Stage::widen1, 4, kBands},
};

// Input values of a lookup: 0..255 or -32768..32767.
struct Inputs {
    long first, count;
};
inline constexpr Inputs inputs8{0, 256}, inputs16{-32768, 65536};

// A host's table of n entries for the input values offset .. offset + n - 1,
// entry i at data + i * stride.
struct HostTable {
    const unsigned char *data;
    long offset, n;
    int stride = 1;
    bool covers(Inputs in) const { return offset == in.first && n == in.count; }
    // out[i * step] for input value in.first + i: its entry; below the table
    // the first entry, above it the last.
    void expand(Inputs in, unsigned char *out, int step) const {
        for (long i = 0; i < in.count; ++i) {
            const long e = in.first + i - offset;
            out[i * step] = data[(e < 0 ? 0 : e >= n ? n - 1 : e) * stride];
        }
    }
};

// What a kept table was made from: the lookup's state and the window layout.
struct LookupKey {
    std::uint64_t version = 0;
    const void *data = nullptr;
    int bands = 0, mask = 0;
    bool operator==(const LookupKey &) const = default;
};

// Made tables by destination band (null: in place or not selected); the
// single table is band[0].
struct Tables {
    unsigned char *band[4] = {};
    ~Tables() {
        for (unsigned char *b : band) std::free(b);
    }
};
template <bool Short, bool Single>
struct Cache : wren::TableCache<LookupKey, Tables> {};

struct Params {
    unsigned char *tables[4] = {};  // by destination band; a single lookup's in tables[0]
    std::shared_ptr<void> kept;     // held for the call
};

ZorLookup *lookup_of(ZorOp *lk) { return lk ? dynamic_cast<ZorLookup *>(lk->getObjParam(1)) : nullptr; }

int variant(ZorOp *const *ops) {
    ZorLookup *lut = lookup_of(ops[0]);
    return lut && lut->getNumEntries() == 0 ? 1 : 0;
}

}  // namespace

// Lookup band k goes to the k-th band the window selects. A single lookup's
// table is in place only when it covers every input in the kernels' layout
// for these bands: not 3 of them (a 3-band entry lies in bytes 1-3 of 4), as
// many as the window has, the first ones selected. Otherwise entry byte b
// (b + 1 for 3 bands) holds the band of destination band b.
template <bool Short>
bool wren::lookup_tables(Ctx &c, ZorLookup &lut, bool single, const kl_image &d, unsigned char *tables[4],
                         std::shared_ptr<void> &keep) {
    constexpr Inputs in = Short ? inputs16 : inputs8;
    const int nb = static_cast<uint16_t>(lut.getNBands());
    const int32_t *counts = single ? nullptr : lut.getEntriesList();
    const int16_t *offsets = single ? nullptr : lut.getOffsetsList();
    unsigned char *const *data = single ? nullptr : lut.getDataList();
    unsigned char *one = single ? lut.getData() : nullptr;
    HostTable of[4] = {};  // the lookup's table of each destination band
    int used = 0, first = 0, in_place = 0;
    const bool served = each_selected(d, [&](int i, int b) {
        first += b == i;
        const bool have = single ? one && lut.getNumEntries() >= 1 : counts && offsets && data && counts[i] >= 1 && data[i];
        if (i == nb || !have) return false;
        of[b] = single ? HostTable{one + i, static_cast<int16_t>(lut.getOffset()), lut.getNumEntries(), nb}
                       : HostTable{data[i], offsets[i], counts[i]};
        used = i + 1;
        if (!single && of[b].covers(in)) tables[b] = const_cast<unsigned char *>(of[b].data), ++in_place;
        return true;
    });
    if (!served) {
        return c.refuse(WREN_PARAMETER, "lookup of %d band(s) cannot serve the window's bands (%#x)", nb, d.bmask);
    }
    if (single && first == used && of[0].covers(in) && nb != 3 && nb == d.bands) {
        tables[0] = one;
    } else if (single || in_place < used) {
        ZorVersionNumber v;
        lut.getVersion(v);
        const LookupKey key{v.value(), single ? static_cast<const void *>(one) : data, d.bands, d.bmask};
        bool made = false;
        TableCache<LookupKey, Tables> &cache =
            single ? static_cast<TableCache<LookupKey, Tables> &>(kept<Cache<Short, true>>()) : kept<Cache<Short, false>>();
        const std::shared_ptr<Tables> made_tables = cache.get(key, [&]() -> std::shared_ptr<Tables> {
            auto *t = new (std::nothrow) Tables;
            const int es = single ? (d.bands == 3 ? 4 : d.bands) : 1;  // entry size
            for (int b = 0; t && b < d.bands; ++b) {
                if (!of[b].data || tables[b]) continue;
                unsigned char *&out = t->band[single ? 0 : b];
                // Zeroed, so that the bytes of unselected bands are defined too.
                if (!out && !(out = static_cast<unsigned char *>(std::calloc(in.count, es)))) {
                    delete t;
                    return nullptr;
                }
                of[b].expand(in, out + (single ? (d.bands == 3 ? b + 1 : b) : 0), es);
            }
            return share(t, [](Tables *q) { delete q; });
        }, &made);
        if (!made_tables) return c.refuse(WREN_SCRATCH, "no memory for a lookup table of %ld entries", in.count);
        for (int b = 0; b < 4; ++b)
            if (!tables[b]) tables[b] = made_tables->band[b];
        keep = made_tables;
        c.note(made ? "table built%s" : "cache hit%s", in_place ? ", table used in place" : "");
        return true;
    }
    c.note("table used in place");
    return true;
}

template bool wren::lookup_tables<false>(Ctx &, ZorLookup &, bool, const kl_image &, unsigned char *[4],
                                         std::shared_ptr<void> &);
template bool wren::lookup_tables<true>(Ctx &, ZorLookup &, bool, const kl_image &, unsigned char *[4],
                                        std::shared_ptr<void> &);

namespace {

template <bool Short>
bool parse(wren::Ctx &c) {
    Params &p = c.p<Params>();
    ZorLookup *lut = lookup_of(c.op);
    if (!lut) return c.refuse(WREN_PARAMETER, "no lookup table");
    return wren::lookup_tables<Short>(c, *lut, c.variant == 0, c.win.k, p.tables, p.kept);
}

template <bool Short>
void kernel(wren::Job &j) {
    Params &p = j.c.p<Params>();
    if (j.c.variant == 1) {
        (Short ? kl_mlookup16_8 : kl_mlookup8_8)(j.bmask, &j.dst, &j.src[0], p.tables);
    } else {
        (Short ? kl_lookup16_8 : kl_lookup8_8)(j.bmask, &j.dst, &j.src[0], p.tables[0]);
    }
}

}  // namespace

const wren::DriverPlan wren::lookup8_plan{
    .layouts = layouts8, .variant = variant, .parse = parse<false>, .kernel = kernel<false>};
const wren::DriverPlan wren::lookup16_plan{
    .sample = KL_SHORT, .layouts = layouts16, .variant = variant, .parse = parse<true>, .kernel = kernel<true>};

int ZorDeviceComputeTypeWren::Lookup8_8Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::lookup8_plan, op, count);
}

int ZorDeviceComputeTypeWren::Lookup16_8Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::lookup16_plan, op, count);
}
