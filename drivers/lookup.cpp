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
// changes. Each driver has its own caches (kept.h): a call keeps the tables
// it was handed while another call replaces them.
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

// What a kept table was made from: the lookup's state and the window layout.
struct LookupKey {
    std::uint64_t version = 0;
    const void *data = nullptr;
    int bands = 0, mask = 0;
    bool operator==(const LookupKey &) const = default;
};

LookupKey key_of(const ZorVersionNumber &v, const void *data, const kl_image &d) {
    return {v.value(), data, d.bands, d.bmask};
}

// Made band tables, by destination band (null: in place or not selected).
struct BandTables {
    unsigned char *band[4] = {};
    ~BandTables() {
        for (unsigned char *b : band) std::free(b);
    }
};

// The tables one driver keeps between calls.
template <bool Short>
struct SingleCache : wren::TableCache<LookupKey, unsigned char> {};
template <bool Short>
struct BandCache : wren::TableCache<LookupKey, BandTables> {};

// Input values of a driver: 0..255 or -32768..32767.
template <bool Short>
struct Inputs {
    static constexpr long first = Short ? -32768 : 0;
    static constexpr long count = Short ? 65536 : 256;
    static bool full(long offset, long entries) { return offset == first && entries == count; }
    // Entry of input value first + i for a table of n entries from offset.
    static long entry(long i, long offset, long n) {
        const long e = first + i - offset;
        return e < 0 ? 0 : e >= n ? n - 1 : e;
    }
};

bool selected(const kl_image &d, int b) { return (d.bmask >> (d.bands - 1 - b)) & 1; }

int selected_count(const kl_image &d) {
    int n = 0;
    for (int b = 0; b < d.bands; ++b) n += selected(d, b);
    return n;
}

// Whether the selected bands are the first ones (0 .. n - 1): only then does
// a table in place, whose entry byte b goes to band b, send lookup band k to
// the k-th selected band as a built table does.
bool selected_first(const kl_image &d) {
    const int n = selected_count(d);
    for (int b = 0; b < d.bands; ++b)
        if (selected(d, b) != (b < n)) return false;
    return true;
}

// The single table for window layout d, in place, from cache or made (held
// in keep for the call); null (declined) when the lookup cannot serve d or
// memory runs out.
template <bool Short>
unsigned char *single_table(wren::Ctx &c, ZorLookup &lut, const ZorVersionNumber &v, const kl_image &d,
                            std::shared_ptr<unsigned char> &keep) {
    using In = Inputs<Short>;
    const long offset = static_cast<int16_t>(lut.getOffset());
    const long n = lut.getNumEntries();
    const int nb = static_cast<uint16_t>(lut.getNBands());
    unsigned char *data = lut.getData();
    if (!data || nb < selected_count(d)) {
        c.refuse(WREN_PARAMETER, "lookup of %d bands cannot serve %d selected bands", nb, selected_count(d));
        return nullptr;
    }
    if (In::full(offset, n) && nb != 3 && nb == d.bands && selected_first(d)) {
        c.note("table used in place");
        return data;
    }
    bool built = false;
    keep = wren::kept<SingleCache<Short>>().get(key_of(v, data, d), [&] {
        const int es = d.bands == 3 ? 4 : d.bands;
        // Zeroed, so that the columns of unselected bands are defined too.
        auto *t = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(In::count), static_cast<size_t>(es)));
        for (int b = 0, k = 0; t && b < d.bands; ++b) {
            if (!selected(d, b)) continue;
            const int col = d.bands == 3 ? b + 1 : b;
            for (long i = 0; i < In::count; ++i) t[i * es + col] = data[In::entry(i, offset, n) * nb + k];
            ++k;
        }
        return wren::share(t, std::free);
    }, &built);
    if (!keep) {
        c.refuse(WREN_SCRATCH, "no memory for a lookup table of %ld entries", In::count);
        return nullptr;
    }
    c.note(built ? "table built" : "cache hit");
    return keep.get();
}

// The band tables for window layout d into tables (by destination band), in
// place, from cache or made (held in keep for the call); false (declined)
// when the lookup cannot serve d or memory runs out.
template <bool Short>
bool band_tables(wren::Ctx &c, ZorLookup &lut, const ZorVersionNumber &v, const kl_image &d,
                 unsigned char *tables[4], std::shared_ptr<BandTables> &keep) {
    using In = Inputs<Short>;
    const int32_t *counts = lut.getEntriesList();
    const int16_t *offsets = lut.getOffsetsList();
    unsigned char *const *data = lut.getDataList();
    const int nb = static_cast<uint16_t>(lut.getNBands());
    if (!counts || !offsets || !data || nb < selected_count(d)) {
        c.refuse(WREN_PARAMETER, "lookup of %d tables cannot serve %d selected bands", nb, selected_count(d));
        return false;
    }
    int of[4] = {-1, -1, -1, -1};  // lookup table of each destination band
    for (int b = 0, k = 0; b < d.bands; ++b) {
        if (!selected(d, b)) continue;
        if (counts[k] < 1 || !data[k]) {
            c.refuse(WREN_PARAMETER, "table %d of the lookup is empty", k);
            return false;
        }
        of[b] = k++;
    }
    bool in_place = false, all_in_place = true;
    for (int b = 0; b < 4; ++b) {
        tables[b] = nullptr;
        if (b >= d.bands || of[b] < 0) continue;
        if (In::full(offsets[of[b]], counts[of[b]])) {
            tables[b] = data[of[b]];
            in_place = true;
        } else {
            all_in_place = false;
        }
    }
    if (all_in_place) {
        c.note("table used in place");
        return true;
    }
    bool built = false;
    keep = wren::kept<BandCache<Short>>().get(key_of(v, data, d), [&]() -> std::shared_ptr<BandTables> {
        auto *t = new (std::nothrow) BandTables;
        for (int b = 0; t && b < d.bands; ++b) {
            const int k = of[b];
            if (k < 0 || tables[b]) continue;
            if (!(t->band[b] = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(In::count))))) {
                delete t;
                return nullptr;
            }
            for (long i = 0; i < In::count; ++i) t->band[b][i] = data[k][In::entry(i, offsets[k], counts[k])];
        }
        return wren::share(t, [](BandTables *p) { delete p; });
    }, &built);
    if (!keep) {
        c.refuse(WREN_SCRATCH, "no memory for a lookup table of %ld entries", In::count);
        return false;
    }
    for (int b = 0; b < d.bands; ++b)
        if (of[b] >= 0 && !tables[b]) tables[b] = keep->band[b];
    c.note(built ? (in_place ? "table built, table used in place" : "table built")
                    : (in_place ? "cache hit, table used in place" : "cache hit"));
    return true;
}

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

ZorLookup *lookup_of(ZorOp *lk) { return lk ? dynamic_cast<ZorLookup *>(lk->getObjParam(1)) : nullptr; }

int variant(ZorOp *const *ops) {
    ZorLookup *lut = lookup_of(ops[0]);
    return lut && lut->getNumEntries() == 0 ? 1 : 0;
}

struct Params {
    unsigned char *table = nullptr, *tables[4] = {};
    std::shared_ptr<unsigned char> single_kept;  // held for the call
    std::shared_ptr<BandTables> bands_kept;
};

template <bool Short>
bool parse(wren::Ctx &c) {
    Params &p = c.p<Params>();
    ZorLookup *lut = lookup_of(c.op);
    if (!lut) return c.refuse(WREN_PARAMETER, "no lookup table");
    ZorVersionNumber v;
    lut->getVersion(v);
    return c.variant == 0 ? (p.table = single_table<Short>(c, *lut, v, c.win.k, p.single_kept)) != nullptr
                          : band_tables<Short>(c, *lut, v, c.win.k, p.tables, p.bands_kept);
}

template <bool Short>
void kernel(wren::Job &j) {
    Params &p = j.c.p<Params>();
    if (j.c.variant == 1) {
        (Short ? kl_mlookup16_8 : kl_mlookup8_8)(j.bmask, &j.dst, &j.src[0], p.tables);
    } else {
        (Short ? kl_lookup16_8 : kl_lookup8_8)(j.bmask, &j.dst, &j.src[0], p.table);
    }
}

}  // namespace

const wren::DriverSpec wren::lookup8_spec{
    .layouts = layouts8, .variant = variant, .parse = parse<false>, .kernel = kernel<false>};
const wren::DriverSpec wren::lookup16_spec{
    .sample = KL_SHORT, .layouts = layouts16, .variant = variant, .parse = parse<true>, .kernel = kernel<true>};

int ZorDeviceComputeTypeWren::Lookup8_8Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::lookup8_spec, op, count);
}

int ZorDeviceComputeTypeWren::Lookup16_8Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::lookup16_spec, op, count);
}
