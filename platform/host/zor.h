// The host imaging library: compute devices, the operation tree, operations and
// images. Lookup tables are in zor_lookup.h, regions in zor_region.h; loading
// devices and running operations on them in zor_dispatch.h.
#pragma once

#include "zor_interpolation.h"
#include "zor_kernel.h"
#include "zor_lookup.h"
#include "zor_object.h"
#include "zor_region.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

class ZorOp;
class ZorImage;

// ---- Devices ----------------------------------------------------------------

class ZorDeviceType {
public:
    explicit ZorDeviceType(const char *name);
    virtual void printStatus();          // writes the device name to stdout
    virtual void optimizeMemoryUsage();  // nothing to give back by default
    virtual ~ZorDeviceType();
    const char *getName() const { return name_.c_str(); }

private:
    std::string name_;
};

// A device that computes operations. Deleting it withdraws every function it
// registered in the operation tree.
class ZorDeviceComputeType : public ZorDeviceType {
public:
    using ZorDeviceType::ZorDeviceType;
    ~ZorDeviceComputeType() override;
};

// A compute function: takes the display operation and the number of operations
// of the matched path (the display operation included); returns ZOR_SUCCESS or
// ZOR_FAILURE.
using ZorComputeFunction = int (ZorDeviceComputeType::*)(ZorOp *, int);

// ---- Operation tree ---------------------------------------------------------

// A node of the tree of operation names. The path from the base names a chain
// of operations: the device-IO (display) operation first, then the operation
// whose result it shows, then the one feeding that, and so on.
class ZorOpTreeNode {
public:
    struct Function {
        ZorDeviceComputeType *device;
        ZorComputeFunction member;
        std::uint64_t order;  // registration sequence, process-wide
    };

    explicit ZorOpTreeNode(std::string name = "");
    ~ZorOpTreeNode();

    // The child of that name, made if absent; null for a null or empty name,
    // or when there is no memory for a new child.
    ZorOpTreeNode *branch(const char *name) noexcept;
    // The child of that name, or null.
    const ZorOpTreeNode *child(const char *name) const;
    // Registers a function at this node: ZOR_SUCCESS, or ZOR_FAILURE for a null
    // device or member, a function already registered here, or a refusal set by
    // refuseAddFunctionAt, or no memory to record it.
    int addFunction(ZorDeviceComputeType *device, ZorComputeFunction member) noexcept;
    // Withdraws every function of the device from this node and all below it.
    void removeFunctions(ZorDeviceComputeType *device) noexcept;

    const std::string &name() const { return name_; }
    const std::vector<Function> &functions() const { return functions_; }
    const std::vector<std::unique_ptr<ZorOpTreeNode>> &children() const { return children_; }

    // Makes the nth addFunction call from now (1 = the next) refuse, anywhere in
    // the process; 0 cancels.
    static void refuseAddFunctionAt(long n);

private:
    std::string name_;
    std::vector<Function> functions_;
    std::vector<std::unique_ptr<ZorOpTreeNode>> children_;
};

// ---- Operations -------------------------------------------------------------

// The number of an operation name, or -1 for a name the host does not know
// (or null). Numbers start at 1.
int ZorLookupOpNumber(const char *name);
// The name of an operation number, or null.
const char *ZorOpName(int number);
// The device-IO operation name of the accelerator windows. A display
// operation carries this name, the window as its destination and, as getOp1,
// the operation whose result it shows; the operation tree's paths start with it.
inline constexpr const char *ZOR_DISPLAY_IO_WREN = "display_ioQORVwren";

// An operation: its number, destination, sources, the operation feeding it and
// parameters by index. The operation does not own what it refers to; a
// parameter index holds one value of one kind, and reading another kind (or an
// unset index) gives null or 0.
class ZorOp : public ZorObject {
public:
    // Null for an unknown name (or no memory).
    static ZorOp *create(const char *name, ZorImage *dst, ZorImage *src1 = nullptr, ZorImage *src2 = nullptr,
                         ZorOp *op1 = nullptr) noexcept;

    int getOp() const { return number_; }
    const char *getName() const { return ZorOpName(number_); }
    ZorImage *getDst() const { return dst_; }
    ZorImage *getSrc1() const { return src1_; }
    ZorImage *getSrc2() const { return src2_; }
    ZorOp *getOp1() const { return op1_; }
    void setOp1(ZorOp *op1);

    void *getPtrParam(int i) const;
    ZorObject *getObjParam(int i) const;
    long getLongParam(int i) const;
    float getFloatParam(int i) const;
    void setPtrParam(int i, void *p);
    void setObjParam(int i, ZorObject *o);
    void setLongParam(int i, long v);
    void setFloatParam(int i, float v);

private:
    ZorOp(int number, ZorImage *dst, ZorImage *src1, ZorImage *src2, ZorOp *op1);
    ~ZorOp() override;
    using Param = std::variant<std::monostate, void *, ZorObject *, long, float>;
    void setParam(int i, Param p);
    const Param *param(int i) const;

    int number_;
    ZorImage *dst_, *src1_, *src2_;
    ZorOp *op1_;
    std::vector<std::pair<int, Param>> params_;
};

// ---- Images -----------------------------------------------------------------

enum ZorDatatype { ZOR_BIT = 0, ZOR_BYTE = 1, ZOR_SHORT = 2 };

// Storage record of getStorage("memory"). Byte and short images fill samples:
// the address of the storage's first sample (a child image shares its parent's
// record and finds its own first sample through its child offsets), the
// scanline stride and the pixel stride in samples. Bit images fill bits: the
// address of the byte holding the image's first pixel, the scanline stride in
// bytes, the band stride in rows (band b of the image starts b * bandStride
// rows further on) and the bit offset of the first pixel in that byte.
struct ZorSampleStorage {
    void *address;
    std::int32_t scanlineStride;
    std::uint16_t pixelStride;
};
struct ZorBitStorage {
    std::uint8_t *address;
    std::uint16_t scanlineStride;
    std::int32_t bandStride;
    std::uint8_t bitOffset;
};
struct ZorStorage {
    ZorSampleStorage samples;
    ZorBitStorage bits;
};

// Display device-IO record of a window image. The window system fills it when
// it makes the window image; drivers store the clip list, the bounding box and
// clear the state word. The host keeps it and knows nothing of its contents.
struct ZorDisplayIO {
    std::int32_t state;          // cleared by a driver when it is done
    void *window;                // window handle of the window-clip library
    const ZorClipList *clipList; // clip list last obtained
    std::int32_t bboxX, bboxY, bboxW, bboxH;  // window bounding box on the screen
    std::int32_t depth;          // 8 or 24
    void *regs;                  // accelerator register base
    std::uint8_t *fbBase;        // frame buffer base
    std::int16_t fbLineBytes;    // frame buffer line bytes
    std::int32_t board[64];      // board information block
    std::int32_t stereo;         // nonzero on a stereo screen
    std::int32_t highRes;        // nonzero on a high-resolution screen
    std::int32_t mapMode;        // pixel-mapping mode: 1 mapping space, 2 direct views
    std::uint8_t *mapBase;       // mode 1: mapping space, 8 bytes per pixel
    std::int16_t mapLineBytes;
    std::uint8_t *view8Base;     // mode 2: 8-bit direct view
    std::int16_t view8LineBytes;
    std::uint8_t *view16Base;    // mode 2: 16-bit direct view
    std::int16_t view16LineBytes;
};

class ZorImageType : public ZorObject {
public:
    // Any pointer may be null.
    void getInfo(unsigned *w, unsigned *h, unsigned *bands, int *datatype) const;
    void getInfo(int *w, int *h, int *bands, int *datatype) const;
    unsigned getWidth() const { return w_; }
    unsigned getHeight() const { return h_; }
    unsigned getBands() const { return bands_; }
    int getDatatype() const { return datatype_; }

protected:
    ZorImageType(unsigned w, unsigned h, unsigned bands, int datatype);
    unsigned w_, h_, bands_;
    int datatype_;
};

// An image in memory or in a window. Pixel coordinates run from (0, 0) at the
// first pixel; image-space coordinates are pixel coordinates minus the origin.
class ZorImage : public ZorImageType {
public:
    // Largest width or height the host makes.
    static constexpr unsigned kMaxSide = 1u << 16;
    // Largest pixel memory the host allocates for one image.
    static constexpr std::size_t kMaxBytes = std::size_t{1} << 30;

    // A zeroed image in host memory: 1 to 4 bands of bits, bytes or shorts,
    // samples interleaved, rows padded to 8 bytes. Null for bad arguments,
    // more than kMaxBytes of pixels or no memory. No image factory throws.
    static ZorImage *create(unsigned w, unsigned h, unsigned bands, int datatype) noexcept;
    // A byte or short image over the caller's memory, which must outlive it.
    // Strides in samples; pixelStride >= bands, scanlineStride >= w * pixelStride.
    static ZorImage *createOver(unsigned w, unsigned h, unsigned bands, int datatype, void *data,
                                std::int32_t scanlineStride, std::uint16_t pixelStride) noexcept;
    // A byte image whose pixels live in a window; the record is copied and
    // shared with the image's children.
    static ZorImage *createWindow(unsigned w, unsigned h, unsigned bands, const ZorDisplayIO &record) noexcept;
    // The part (x, y, w, h) of bands band .. band + bands - 1 of this image; it
    // shares the storage (kept alive as long as the child lives). Null when it
    // does not fit. Child offsets add up through nested children.
    ZorImage *createChild(unsigned x, unsigned y, unsigned band, unsigned w, unsigned h, unsigned bands) noexcept;

    void getDimensions(unsigned *w, unsigned *h, unsigned *bands) const { getInfo(w, h, bands, nullptr); }
    void getDimensions(int *w, int *h, int *bands) const { getInfo(w, h, bands, nullptr); }
    // Offsets of this image in its storage: pixels, rows and bands.
    void getChildOffsets(unsigned *x, unsigned *y, unsigned *band) const;
    void getChildOffsets(int *x, int *y, int *band) const;
    bool isChild() const { return child_; }

    // The integer form is the origin rounded to the nearest integer (halves to even).
    void getOrigin(int *x, int *y) const;
    void getOrigin(float *x, float *y) const;
    // Ignored (returns ZOR_FAILURE) unless both are finite and within +-2^24.
    int setOrigin(float x, float y);

    // The region of interest in pixel coordinates, or null when none is set.
    // The region is owned by the image and valid until the next setRoi/setOrigin.
    ZorRoi *getRoi();
    // The region of interest (the whole image when none is set) in image space;
    // owned by the image like getRoi's. Null when it cannot be made (no memory).
    ZorRoi *getImageSpaceRoi() noexcept;
    // Copies roi, cut to the image; null clears it. ZOR_FAILURE (nothing
    // changed) when the copy cannot be made.
    int setRoi(const ZorRoi *roi) noexcept;

    // "memory" for byte, short and bit images in memory; null otherwise.
    const ZorStorage *getStorage(const char *kind) const;
    ZorDisplayIO *getDeviceInputOutput() const { return display_.get(); }

    // Sample access for callers that fill or read an image in memory: the
    // address of sample band of pixel (x, y) (bit images: of its byte), or null
    // when outside the image or not in memory.
    void *sampleAddress(unsigned x, unsigned y, unsigned band) const;

private:
    ZorImage(unsigned w, unsigned h, unsigned bands, int datatype);
    ~ZorImage() override;
    ZorRoi *owned(ZorRoi *r);

    bool child_ = false;
    unsigned cx_ = 0, cy_ = 0, cb_ = 0;
    float ox_ = 0, oy_ = 0;
    std::shared_ptr<void> pixels_;       // owned pixel memory, if any
    ZorStorage storage_{};
    bool inMemory_ = false;
    std::shared_ptr<ZorDisplayIO> display_;
    ZorRoi *roi_ = nullptr;                    // pixel space
    std::atomic<ZorRoi *> isRoi_{nullptr};     // image space, made on first use
};

// The region to compute for a destination and its sources: the intersection of
// the image-space regions of dst, src and other (other and src may be null).
// Stores a new region in *roi and returns ZOR_SUCCESS, or stores null and
// returns ZOR_FAILURE. reserved must be null.
int ZoriGetRoiList(ZorRoi **roi, ZorImage *dst, ZorImage *src, ZorImage *other, void *reserved) noexcept;
