// Adapters from host images and windows to kernel image descriptors.
//
// zor2kl_image describes a byte, short or bit image in memory; zor2kl_window
// describes a window image whose pixels live in the accelerator's frame
// buffer, at the window image's place in its window (the window's screen
// position is added by the driver once the window is locked). Both describe
// the whole image and return ZOR_SUCCESS, or ZOR_FAILURE with *k partly
// filled when the image cannot be described; nothing is reported to the host.
#pragma once

#include "kl.h"
#include "zor.h"

int zor2kl_image(ZorImage *image, kl_image *k);
int zor2kl_window(ZorImage *image, kl_image *k);
