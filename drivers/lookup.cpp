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
// A 3-band source into a 24-bit window is staged to 4 bands first; a 16-bit
// single lookup into a 4-band window goes through a scratch image and is
// copied in. Strips of the scratch buffer keep the memory bounded.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "driver_frame.h"
#include "kept.h"
#include "wren_device.h"

using wren::DriverCall;
using wren::Placed;
using wren::Rect;

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
unsigned char *single_table(DriverCall &call, ZorLookup &lut, const ZorVersionNumber &v, const kl_image &d,
                            std::shared_ptr<unsigned char> &keep) {
    using In = Inputs<Short>;
    const long offset = static_cast<int16_t>(lut.getOffset());
    const long n = lut.getNumEntries();
    const int nb = static_cast<uint16_t>(lut.getNBands());
    unsigned char *data = lut.getData();
    if (!data || nb < selected_count(d)) {
        call.decline(WREN_PARAMETER, "lookup of %d bands cannot serve %d selected bands", nb, selected_count(d));
        return nullptr;
    }
    if (In::full(offset, n) && nb != 3 && nb == d.bands && selected_first(d)) {
        call.note("table used in place");
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
        call.decline(WREN_SCRATCH, "no memory for a lookup table of %ld entries", In::count);
        return nullptr;
    }
    call.note(built ? "table built" : "cache hit");
    return keep.get();
}

// The band tables for window layout d into tables (by destination band), in
// place, from cache or made (held in keep for the call); false (declined)
// when the lookup cannot serve d or memory runs out.
template <bool Short>
bool band_tables(DriverCall &call, ZorLookup &lut, const ZorVersionNumber &v, const kl_image &d,
                 unsigned char *tables[4], std::shared_ptr<BandTables> &keep) {
    using In = Inputs<Short>;
    const int32_t *counts = lut.getEntriesList();
    const int16_t *offsets = lut.getOffsetsList();
    unsigned char *const *data = lut.getDataList();
    const int nb = static_cast<uint16_t>(lut.getNBands());
    if (!counts || !offsets || !data || nb < selected_count(d)) {
        call.decline(WREN_PARAMETER, "lookup of %d tables cannot serve %d selected bands", nb, selected_count(d));
        return false;
    }
    int of[4] = {-1, -1, -1, -1};  // lookup table of each destination band
    for (int b = 0, k = 0; b < d.bands; ++b) {
        if (!selected(d, b)) continue;
        if (counts[k] < 1 || !data[k]) {
            call.decline(WREN_PARAMETER, "table %d of the lookup is empty", k);
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
        call.note("table used in place");
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
        call.decline(WREN_SCRATCH, "no memory for a lookup table of %ld entries", In::count);
        return false;
    }
    for (int b = 0; b < d.bands; ++b)
        if (of[b] >= 0 && !tables[b]) tables[b] = keep->band[b];
    call.note(built ? (in_place ? "table built, table used in place" : "table built")
                    : (in_place ? "cache hit, table used in place" : "cache hit"));
    return true;
}

// Strips of rows of rectangle r over the scratch buffer described as `type`
// images of `bands` bands: f(row, n, scratch strip).
template <class F>
void strips(const wren::Scratch &s, int type, int bands, const Rect &r, F &&f) {
    kl_image k;
    if (!kl_initimage(&k, type, bands, r.w, 0, s.data, 0) || k.lb <= 0) return;
    const int per = static_cast<int>(s.size / static_cast<size_t>(k.lb));
    for (int row = 0; per > 0 && row < r.h; row += per) {
        const int n = r.h - row < per ? r.h - row : per;
        k.h = n;
        f(row, n, k);
    }
}

template <bool Short>
int lookup_driver(ZorOp *op, int count) {
    DriverCall call(op, count);
    ZorOp *lk = op ? op->getOp1() : nullptr;
    if (!lk) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    Placed s;
    const wren::Window *win = call.window(op->getDst());
    if (!win || !call.source(lk->getSrc1(), s)) {
        return ZOR_FAILURE;
    }
    const kl_image &kd = win->k, &ks = s.k;
    if (ks.type != (Short ? KL_SHORT : KL_BYTE)) {
        return call.decline(WREN_LAYOUT, "source is not %s", Short ? "16-bit" : "8-bit");
    }
    ZorLookup *lut = dynamic_cast<ZorLookup *>(lk->getObjParam(1));
    if (!lut) {
        return call.decline(WREN_PARAMETER, "no lookup table");
    }
    const bool single = lut->getNumEntries() != 0;
    enum class Layout { direct, staged } layout = Layout::direct;
    if (single) {
        if (ks.bands != 1) {
            return call.decline(WREN_LAYOUT, "a single lookup takes one band, not %d", ks.bands);
        }
    } else if (ks.bands == 3 && kd.bands == 4 && ks.bmask == kd.bmask) {
        layout = Layout::staged;
    } else if (ks.bands != kd.bands || ks.bmask != kd.bmask) {
        return call.decline(WREN_LAYOUT, "band layout %d (mask %#x) into %d (mask %#x) not handled", ks.bands,
                            ks.bmask, kd.bands, kd.bmask);
    }

    ZorVersionNumber v;
    lut->getVersion(v);
    unsigned char *table = nullptr, *tables[4] = {};
    std::shared_ptr<unsigned char> single_kept;
    std::shared_ptr<BandTables> bands_kept;
    if (single ? !(table = single_table<Short>(call, *lut, v, kd, single_kept))
               : !band_tables<Short>(call, *lut, v, kd, tables, bands_kept)) {
        return ZOR_FAILURE;
    }

    ZorRoi *roi1 = lk->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = win->image->getImageSpaceRoi();
    if (!roi1 || !roid || !call.region(roi1->intersect(roid))) {
        return call.decline(WREN_REGION, "no region where the source meets the window");
    }
    if (call.region_empty()) {
        return call.decline(WREN_REGION, "the source's region does not meet the window's");
    }
    // Strips: a 16-bit single lookup into several bands is looked up into
    // window pixels and copied in; a staged source is widened to 4 bands.
    const bool via_scratch = (single && Short && kd.bands > 1) || layout == Layout::staged;
    const int maxw = ks.w > kd.w ? ks.w : kd.w;
    const wren::Scratch *scratch = nullptr;
    if (via_scratch) {
        // Rows of 4 samples of the source's type; a 16-bit row is as long as
        // an 8-bit row twice as wide.
        const int wide = layout == Layout::staged && Short ? 2 * maxw : maxw;
        if (!(scratch = call.scratch(single ? kd.bands : 4, wide))) return ZOR_FAILURE;
    }
    const wren::Visible *vis = call.clip({{&s}});
    if (!vis || !call.raster_setup()) {
        return ZOR_FAILURE;
    }
    const int m = kd.bmask;
    for (const Rect &r : vis->rects) {
        if (!via_scratch) {
            kl_image wd = vis->at(r), ws = wren::at(s, r);
            if (!single) {
                (Short ? kl_mlookup16_8 : kl_mlookup8_8)(m, &wd, &ws, tables);
            } else {
                (Short ? kl_lookup16_8 : kl_lookup8_8)(m, &wd, &ws, table);
            }
        } else if (single) {
            call.chunks(*scratch, r, [&](int row, int n, kl_image &tmp) {
                kl_image wd = vis->at(r, row, n), ws = wren::at(s, r, row, n);
                kl_lookup16_8(m, &tmp, &ws, table);
                kl_copy_8(m, &wd, &tmp);
            });
        } else {
            strips(*scratch, Short ? KL_SHORT : KL_BYTE, 4, r, [&](int row, int n, kl_image &tmp) {
                kl_image wd = vis->at(r, row, n), ws = wren::at(s, r, row, n);
                tmp.bmask = ks.bmask;
                (Short ? kl_copy16_3_4 : kl_copy8_3_4)(ks.bmask, &tmp, &ws);
                (Short ? kl_mlookup16_8 : kl_mlookup8_8)(m, &wd, &tmp, tables);
            });
        }
    }
    return call.computed();
}

}  // namespace

int ZorDeviceComputeTypeWren::Lookup8_8Wren(ZorOp *op, int count) { return lookup_driver<false>(op, count); }

int ZorDeviceComputeTypeWren::Lookup16_8Wren(ZorOp *op, int count) { return lookup_driver<true>(op, count); }
