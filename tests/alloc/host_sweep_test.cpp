// Allocation failure in the host's interface: every allocation a call makes
// fails in turn (alone, and with every later one). A host call then gives its
// documented failure result (null, status 2, nothing added) or the same
// result as without failure; it never throws and leaves no object behind.
// (The window system's lock under failure: the driver sweep, whose calls
// refresh their windows' clip lists.)
#include "alloc_fail.h"
#include "zor.h"
#include "zor_dispatch.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::ostream &operator<<(std::ostream &o, const ZorRect &r) { return o << " " << r.x << "," << r.y << " " << r.w << "x" << r.h; }

// "what x,y wxh ...", the rectangles from the list's start.
std::string text(ZorRectList *l, const char *what = "list") {
    if (!l) return "";
    std::ostringstream o;
    o << what;
    ZorRect r;
    for (l->rewind(); l->getNext(&r.x, &r.y, &r.w, &r.h);) o << r;
    return o.str();
}
std::string text(const ZorRoi *r) {
    if (!r) return "";
    ZorHandle<ZorRectList> l(r->getRectList());
    return l ? text(l.get(), "roi") : "roi";
}
std::string text(const ZorOp *op) { return op ? op->getName() : ""; }

std::string text(const ZorClipList *c) {
    if (!c) return "";
    std::ostringstream o;
    o << "clip";
    for (std::size_t i = 0; i < c->numRects(); ++i) o << c->rect(i);
    return o.str();
}

std::string text(const ZorImage *img) {
    if (!img) return "";
    unsigned w, h, b, x, y, band;
    img->getDimensions(&w, &h, &b);
    img->getChildOffsets(&x, &y, &band);
    std::ostringstream o;
    o << "image " << w << "x" << h << "x" << b << " at " << x << "," << y << "," << band
      << (img->getStorage("memory") ? " memory" : "") << (img->getDeviceInputOutput() ? " window" : "");
    return o.str();
}

// A device whose one function computes everything.
class Device : public ZorDeviceComputeType {
public:
    Device() : ZorDeviceComputeType("sweep") {}
    int compute(ZorOp *, int) { return ZOR_SUCCESS; }
};
ZorComputeFunction computeFn() { return static_cast<ZorComputeFunction>(&Device::compute); }

// Inputs shared by the cases, made once, never changed by them.
struct Inputs {
    ZorHandle<ZorRoi> a, b;
    ZorHandle<ZorClipList> clip;
    ZorHandle<ZorImage> img, other;
    std::vector<uint8_t> mem = std::vector<uint8_t>(64 * 32 * 4);
    Device device;
    Inputs() {
        std::vector<ZorRect> ra, rb, rc;
        for (int i = 0; i < 12; ++i) {
            ra.push_back({i * 7, i * 3, 9, 5 + i});
            rb.push_back({80 - i * 6, i * 4, 11, 7});
            rc.push_back({i * 9 + 20, 15 + i, 6, 30});
        }
        a.reset(ZorRoi::create(ra.data(), ra.size()));
        b.reset(ZorRoi::create(rb.data(), rb.size()));
        clip.reset(ZorClipList::create(rc.data(), rc.size()));
        img.reset(ZorImage::create(64, 32, 3, ZOR_BYTE));
        other.reset(ZorImage::create(40, 50, 3, ZOR_BYTE));
        other->setOrigin(-7, 4);
        other->getImageSpaceRoi();
        img->getImageSpaceRoi();
    }
};

// One host call. run() is made while armed; the rest is not.
struct Case {
    const char *name;
    std::function<void *()> run;
    std::function<std::string(void *)> describe;          // the result as text
    std::function<void(void *)> release;                  // of the result
    std::function<void()> prepare = [] {};                // before each run
    std::function<void()> finish = [] {};                 // after each run
    std::string failed = "";                              // what a failed call gives ("" = null)
};

template <class T>
Case object(const char *name, std::function<T *()> run) {
    return Case{name, [run] { return static_cast<void *>(run()); },
                [](void *p) { return text(static_cast<T *>(p)); },
                [](void *p) {
                    if (p) static_cast<T *>(p)->destroy();
                }};
}

std::vector<Case> cases(Inputs &in) {
    std::vector<Case> c;
    c.push_back(object<ZorRoi>("ZorRoi::create()", [] { return ZorRoi::create(); }));
    c.push_back(object<ZorRoi>("ZorRoi::create(x, y, w, h)", [] { return ZorRoi::create(3, 4, 50, 60); }));
    c.push_back(object<ZorRoi>("ZorRoi::create(rects)", [] {
        const ZorRect r[] = {{0, 0, 10, 10}, {5, 5, 10, 10}, {30, 2, 4, 40}, {1, 1, 0, 5}};
        return ZorRoi::create(r, 4);
    }));
    c.push_back(object<ZorRoi>("copy", [&in] { return in.a->copy(); }));
    c.push_back(object<ZorRoi>("intersect", [&in] { return in.a->intersect(in.b.get()); }));
    c.push_back(object<ZorRoi>("unite", [&in] { return in.a->unite(in.b.get()); }));
    c.push_back(object<ZorRoi>("intersectClipList", [&in] { return in.a->intersectClipList(in.clip.get(), 7, -3); }));
    c.push_back(object<ZorRectList>("getRectList", [&in] { return in.a->getRectList(); }));
    c.push_back(object<ZorRoi>("scale", [&in] { return in.a->scale(1.5, 0.75, 3, 4); }));
    c.push_back(object<ZorRoi>("translate", [&in] { return in.a->translate(-5, 9); }));
    c.push_back(object<ZorRoi>("flip", [&in] { return in.a->flip(ZOR_FLIP_ROTATE_180, 20, 10); }));
    c.push_back(object<ZorClipList>("ZorClipList::create", [] {
        const ZorRect r[] = {{0, 0, 10, 10}, {5, 5, 10, 10}, {30, 2, 4, 40}};
        return ZorClipList::create(r, 3);
    }));
    c.push_back(object<ZorRoi>("ZoriGetRoiList", [&in] {
        ZorRoi *r = nullptr;
        ZoriGetRoiList(&r, in.img.get(), in.other.get(), nullptr, nullptr);
        return r;
    }));
    c.push_back(object<ZorImage>("ZorImage::create", [] { return ZorImage::create(30, 20, 3, ZOR_BYTE); }));
    c.push_back(object<ZorImage>("ZorImage::createOver",
                                 [&in] { return ZorImage::createOver(64, 32, 4, ZOR_BYTE, in.mem.data(), 256, 4); }));
    c.push_back(object<ZorImage>("ZorImage::createWindow", [] {
        ZorDisplayIO rec{};
        rec.depth = 8;
        return ZorImage::createWindow(30, 20, 1, rec);
    }));
    c.push_back(object<ZorImage>("createChild", [&in] { return in.img->createChild(3, 4, 1, 20, 10, 2); }));
    c.push_back(object<ZorOp>("ZorOp::create", [] { return ZorOp::create("add8", nullptr); }));

    // The image-space region an image makes and keeps; a failed one is made
    // again by the next call.
    auto fresh = std::make_shared<ZorHandle<ZorImage>>();
    c.push_back(Case{"getImageSpaceRoi", [fresh] { return static_cast<void *>((*fresh)->getImageSpaceRoi()); },
                     [](void *p) { return text(static_cast<ZorRoi *>(p)); }, [](void *) {},
                     [fresh] {
                         fresh->reset(ZorImage::create(30, 20, 1, ZOR_BYTE));
                         (*fresh)->setOrigin(4, -6);
                     },
                     [fresh] { fresh->reset(); }});
    // setRoi keeps the old region when it cannot make the new one.
    c.push_back(Case{"setRoi",
                     [fresh, &in] {
                         return static_cast<void *>((*fresh)->setRoi(in.b.get()) == ZOR_SUCCESS ? fresh.get()
                                                                                                 : nullptr);
                     },
                     [fresh](void *) { return text((*fresh)->getRoi()); }, [](void *) {},
                     [fresh, &in] {
                         fresh->reset(ZorImage::create(30, 20, 1, ZOR_BYTE));
                         (*fresh)->setRoi(in.a.get());
                     },
                     [fresh] { fresh->reset(); }});
    c.back().prepare();  // a failed call leaves the region prepare() set
    c.back().failed = c.back().describe(nullptr);
    c.back().finish();
    // Reports are recorded, or dropped and counted.
    auto counts = std::make_shared<std::pair<std::size_t, long>>();
    c.push_back(Case{"notifyError",
                     [] {
                         ZorSystemState::notifyError(nullptr, 0, "di-7", 0, 113, "sweep", nullptr);
                         return static_cast<void *>(nullptr);
                     },
                     [counts](void *) {
                         if (ZorSystemState::errors().size() == counts->first + 1) return std::string("recorded");
                         if (ZorSystemState::droppedErrors() == counts->second + 1) return std::string("dropped");
                         return std::string("lost");
                     },
                     [](void *) {},
                     [counts] {
                         ZorSystemState::clearErrors();
                         *counts = {ZorSystemState::errors().size(), ZorSystemState::droppedErrors()};
                     },
                     [] { ZorSystemState::clearErrors(); }, "dropped"});
    // Registration and dispatch on a tree of their own.
    auto tree = std::make_shared<std::unique_ptr<ZorOpTreeNode>>();
    auto make_tree = [tree, &in] {
        *tree = std::make_unique<ZorOpTreeNode>();
        (*tree)->branch("display_ioQORVwren")->branch("add8")->addFunction(&in.device, computeFn());
    };
    c.push_back(Case{"branch", [tree] { return static_cast<void *>((*tree)->branch("fresh")); },
                     [tree](void *p) {
                         return p && (*tree)->child("fresh") == p ? std::string("added") : std::string("");
                     },
                     [](void *) {}, make_tree, [tree] { tree->reset(); }});
    c.push_back(Case{"addFunction",
                     [tree, &in] {
                         ZorOpTreeNode *n = (*tree)->branch("display_ioQORVwren");
                         return n && n->addFunction(&in.device, computeFn()) == ZOR_SUCCESS ? static_cast<void *>(n)
                                                                                            : nullptr;
                     },
                     [tree](void *) {
                         return std::to_string((*tree)->child("display_ioQORVwren")->functions().size());
                     },
                     [](void *) {}, make_tree, [tree] { tree->reset(); }, "0"});
    // The display operation and the one it shows.
    auto ops = std::make_shared<std::pair<ZorHandle<ZorOp>, ZorHandle<ZorOp>>>();
    c.push_back(Case{"ZorDispatch",
                     [tree, ops] {
                         return reinterpret_cast<void *>(
                             static_cast<std::intptr_t>(ZorDispatch(ops->first.get(), tree->get()).status));
                     },
                     [](void *p) { return "status " + std::to_string(reinterpret_cast<std::intptr_t>(p)); },
                     [](void *) {},
                     [make_tree, ops] {
                         make_tree();
                         ops->second.reset(ZorOp::create("add8", nullptr));
                         ops->first.reset(
                             ZorOp::create(ZOR_DISPLAY_IO_WREN, nullptr, nullptr, nullptr, ops->second.get()));
                     },
                     [tree, ops] {
                         tree->reset();
                         ops->first.reset();
                         ops->second.reset();
                     },
                     "status 2"});
    return c;
}

struct Outcome {
    bool threw = false;
    allocfail::Stats stats;
    std::string text;
};

Outcome once(const Case &c, long fail_at, bool later) {
    const long live = ZorObject::liveCount();
    c.prepare();
    Outcome o;
    void *result = nullptr;
    {
        allocfail::Scope s(fail_at, later);
        try {
            result = c.run();
        } catch (...) {
            o.threw = true;
        }
        o.stats = s.end();
    }
    o.text = c.describe(result);
    c.release(result);
    c.finish();
    EXPECT_EQ(ZorObject::liveCount(), live) << "objects left behind or lost";
    return o;
}

TEST(HostSweep, EveryAllocationFailsToADocumentedResult) {
    ASSERT_TRUE(allocfail::installed());
    Inputs in;
    for (const Case &c : cases(in)) {
        SCOPED_TRACE(c.name);
        const Outcome base = once(c, 0, false);
        ASSERT_FALSE(base.threw);
        ASSERT_NE(base.text, c.failed) << "the unfailed call should succeed";
        long failures = 0;
        for (bool later : {false, true}) {
            for (long n = 1; n < 10000; ++n) {
                SCOPED_TRACE(::testing::Message() << "allocation " << n << (later ? " and later" : "") << " fails");
                const Outcome o = once(c, n, later);
                if (o.stats.failed == 0) break;
                EXPECT_FALSE(o.threw);
                EXPECT_TRUE(o.text == base.text || o.text == c.failed) << "got \"" << o.text << "\"";
                failures += o.text == c.failed;
            }
        }
        // Calls that allocate must have seen a failure of their own.
        if (base.stats.seen > 0) {
            EXPECT_GT(failures, 0);
        }
    }
}

}  // namespace
