// Block copy engine: moves rows of bytes between any two byte addresses.
//
// Each destination row is split at 64-byte boundaries. The destination
// blocks that lie wholly inside the row are written with one aligned 64-byte
// store each; the bytes before the first and after the last whole block are
// written as aligned 8-byte words, the two end words under edge masks. No
// destination byte outside the row is written and the destination is never
// read. The source is read only inside the row (host images are not padded),
// with unaligned loads lined up with the destination words.
//
// The forward engine walks rows top to bottom and each row left to right;
// the backward engine walks rows bottom to top and each row right to left.
// Every store's source bytes are loaded before the store, so the backward
// engine copies correctly onto a destination that overlaps the source at a
// higher address, and the forward engine onto one at a lower address.
//
// The rows are copied by kl_copy_rows.h; this file gives the portable
// engines. The exported kl_gcopy_ entries (kl_dispatch.cpp) issue a
// store-to-load barrier, so that earlier stores, for example pixels just
// written by another kernel, are seen by the copy's loads, and call the
// engines of the chosen implementation.
#include "kl_copy_rows.h"
#include "kl_impl.h"

void kl_portable_gcopy(kl_impl &t) {
    t.gcopy = block_engine<Words, false>;
    t.gcopyrl = block_engine<Words, true>;
}
