#include "zor.h"

#include <cstring>
#include <new>

namespace {

bool offset_ok(int offset) { return offset >= -32768 && offset <= 32767; }

// n bytes from values, or zeros; null when memory runs out.
std::unique_ptr<std::uint8_t[]> filled(std::size_t n, const std::uint8_t *values) {
    std::unique_ptr<std::uint8_t[]> p(new (std::nothrow) std::uint8_t[n]);
    if (p) {
        if (values) {
            std::memcpy(p.get(), values, n);
        } else {
            std::memset(p.get(), 0, n);
        }
    }
    return p;
}

}  // namespace

ZorLookup *ZorLookup::create(unsigned bands, int offset, unsigned entries, const std::uint8_t *data) {
    if (bands < 1 || bands > kMaxBands || entries < 1 || entries > kMaxEntries || !offset_ok(offset)) return nullptr;
    auto table = filled(static_cast<std::size_t>(entries) * bands, data);
    if (!table) return nullptr;
    ZorLookup *l = new (std::nothrow) ZorLookup;
    if (!l) return nullptr;
    l->bands_ = bands;
    l->offset_ = offset;
    l->entries_ = entries;
    l->data_ = std::move(table);
    return l;
}

ZorLookup *ZorLookup::createCombined(unsigned bands, const unsigned *entries, const int *offsets,
                                     const std::uint8_t *const *tables) {
    if (bands < 1 || bands > kMaxBands || !entries || !offsets) return nullptr;
    for (unsigned k = 0; k < bands; ++k)
        if (entries[k] < 1 || entries[k] > kMaxEntries || !offset_ok(offsets[k])) return nullptr;
    std::unique_ptr<std::uint8_t[]> owned[kMaxBands];
    for (unsigned k = 0; k < bands; ++k)
        if (!(owned[k] = filled(entries[k], tables ? tables[k] : nullptr))) return nullptr;
    ZorLookup *l = new (std::nothrow) ZorLookup;
    if (!l) return nullptr;
    l->combined_ = true;
    l->bands_ = bands;
    for (unsigned k = 0; k < bands; ++k) {
        l->counts_[k] = static_cast<std::int32_t>(entries[k]);
        l->offsets_[k] = static_cast<std::int16_t>(offsets[k]);
        l->owned_[k] = std::move(owned[k]);
        l->tables_[k] = l->owned_[k].get();
    }
    return l;
}

int ZorLookup::setOffset(int offset) {
    if (combined_ || !offset_ok(offset)) return ZOR_FAILURE;
    offset_ = offset;
    markModified();
    return ZOR_SUCCESS;
}

int ZorLookup::setTableOffset(unsigned band, int offset) {
    if (!combined_ || band >= bands_ || !offset_ok(offset)) return ZOR_FAILURE;
    offsets_[band] = static_cast<std::int16_t>(offset);
    markModified();
    return ZOR_SUCCESS;
}

int ZorLookup::setValues(unsigned band, unsigned first, unsigned n, const std::uint8_t *values) {
    const unsigned count = combined_ ? (band < bands_ ? static_cast<unsigned>(counts_[band]) : 0) : entries_;
    if (band >= bands_ || !values || n == 0 || first >= count || n > count - first) return ZOR_FAILURE;
    if (combined_) {
        std::memcpy(tables_[band] + first, values, n);
    } else {
        for (unsigned i = 0; i < n; ++i) data_[static_cast<std::size_t>(first + i) * bands_ + band] = values[i];
    }
    markModified();
    return ZOR_SUCCESS;
}

int ZorLookup::setTable(unsigned band, int offset, unsigned entries, const std::uint8_t *values) {
    if (!combined_ || band >= bands_ || entries < 1 || entries > kMaxEntries || !offset_ok(offset))
        return ZOR_FAILURE;
    auto table = filled(entries, values);
    if (!table) return ZOR_FAILURE;
    owned_[band] = std::move(table);
    tables_[band] = owned_[band].get();
    counts_[band] = static_cast<std::int32_t>(entries);
    offsets_[band] = static_cast<std::int16_t>(offset);
    markModified();
    return ZOR_SUCCESS;
}
