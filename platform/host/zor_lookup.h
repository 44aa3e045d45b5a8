// Lookup tables of the host imaging library.
#pragma once

#include "zor_object.h"

#include <cstdint>
#include <memory>

// A lookup table object, in one of two forms:
//   single    one table of getNumEntries() entries of getNBands() bytes each;
//             entry i holds the outputs of bands 0 .. bands - 1 for the input
//             value getOffset() + i. One input band.
//   combined  one one-byte table per band: table k has getEntriesList()[k]
//             entries, its first for the input value getOffsetsList()[k], and
//             lives at getDataList()[k]. getNumEntries() is 0; input band k
//             goes through table k.
// Every modification gives the lookup a new version (ZorObject::getVersion);
// a caller that changes entries in place through getData() or getDataList()
// calls markModified() itself. Nothing here throws; failures return null or
// ZOR_FAILURE and change nothing.
class ZorLookup : public ZorObject {
public:
    static constexpr unsigned kMaxBands = 4;
    static constexpr unsigned kMaxEntries = 65536;

    // A single lookup of 1 to 4 bands, 1 to kMaxEntries entries, an offset in
    // -32768 .. 32767; data holds entries x bands bytes (null: all zero).
    // Null for other arguments or when memory runs out.
    static ZorLookup *create(unsigned bands, int offset, unsigned entries, const std::uint8_t *data);
    // A combined lookup of 1 to 4 tables; table k has entries[k] (1 to
    // kMaxEntries) values from tables[k] (null, or a null tables[k]: zeros)
    // and the offset offsets[k] (-32768 .. 32767). Null for other arguments or
    // when memory runs out.
    static ZorLookup *createCombined(unsigned bands, const unsigned *entries, const int *offsets,
                                     const std::uint8_t *const *tables);

    unsigned getNBands() const { return bands_; }
    unsigned getInputNBands() const { return combined_ ? bands_ : 1; }
    int getOffset() const { return combined_ ? 0 : offset_; }
    unsigned getNumEntries() const { return combined_ ? 0 : entries_; }
    // Single form: the entries, band 0 first in each; null for a combined lookup.
    std::uint8_t *getData() const { return combined_ ? nullptr : data_.get(); }
    // Combined form: getNBands() elements each; null for a single lookup.
    const std::int32_t *getEntriesList() const { return combined_ ? counts_ : nullptr; }
    const std::int16_t *getOffsetsList() const { return combined_ ? offsets_ : nullptr; }
    std::uint8_t *const *getDataList() const { return combined_ ? tables_ : nullptr; }

    // Single form: the input value of the first entry.
    int setOffset(int offset);
    // Combined form: the input value of the first entry of table band.
    int setTableOffset(unsigned band, int offset);
    // Entries first .. first + n - 1 of band (single: byte band of each entry;
    // combined: table band) take values[0 .. n - 1].
    int setValues(unsigned band, unsigned first, unsigned n, const std::uint8_t *values);
    // Combined form: table band replaced by entries values from values (null:
    // zeros) with the given offset; the table moves to new memory.
    int setTable(unsigned band, int offset, unsigned entries, const std::uint8_t *values);

private:
    ZorLookup() = default;
    ~ZorLookup() override = default;

    bool combined_ = false;
    unsigned bands_ = 0;
    int offset_ = 0;
    unsigned entries_ = 0;
    std::unique_ptr<std::uint8_t[]> data_;
    std::int32_t counts_[kMaxBands] = {};
    std::int16_t offsets_[kMaxBands] = {};
    std::uint8_t *tables_[kMaxBands] = {};
    std::unique_ptr<std::uint8_t[]> owned_[kMaxBands];
};
