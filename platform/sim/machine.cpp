// A screen with the simulated accelerator attached.
#include "machine.h"

#include "zor.h"

#include <new>

namespace wsim {

Machine::Machine(const MachineOptions &opt) : opt_(opt) {
    screen_ = std::make_unique<wca::Screen>(opt.width, opt.height);
    accel_ = std::make_unique<Accelerator>(screen_->frameBuffer8(), screen_->frameBuffer24(),
                                           screen_->width(), screen_->height());
    accel_->setScreenMode(opt.stereo, opt.high_resolution);
    accel_->setFirstGeneration(opt.first_generation);
    accel_->setMapMode(opt.map_mode);

    wca::BoardProperties p = screen_->properties();
    p.register_base = accel_->registerBase();
    p.board.fill(0);
    p.board[0] = opt.first_generation ? 0x00 : 0x20;
    p.board[4] = opt.pages_forbidden ? 0x2 : 0x0;
    p.stereo = opt.stereo;
    p.high_resolution = opt.high_resolution;
    p.map_mode = opt.map_mode;
    p.map_base = accel_->mapSpace();
    p.map_line_bytes = Accelerator::kMapLineBytes;
    p.view8_base = accel_->view8();
    p.view8_line_bytes = Accelerator::kLineBytes8;
    p.view16_base = accel_->view16();
    p.view16_line_bytes = Accelerator::kView16LineBytes;
    screen_->setProperties(p);

    // The handle's clip list is the visible area the plug-in works with while
    // locked. Whatever the unlock needs is made here: the lock is refused (by
    // throwing) when there is no memory for it, and the unlock allocates
    // nothing. The observers run under the screen's lock, which guards open_.
    lock_token_ = screen_->addLockObserver([this](wca::Window &w) {
        const wca_win *h = w.handle();
        std::vector<Accelerator::Box> visible;
        if (const auto *clip = static_cast<const ZorClipList *>(h->clip)) {
            for (std::size_t i = 0; i < clip->numRects(); ++i) {
                const ZorRect r = clip->rect(i);
                visible.push_back({r.x, r.y, r.w, r.h});
            }
        }
        const auto entry = open_.try_emplace(w.id(), 0).first;
        const int token = accel_->beginWrites(w.depth(), visible);
        if (!token) {
            open_.erase(entry);
            throw std::bad_alloc();
        }
        entry->second = token;
    });
    unlock_token_ = screen_->addUnlockObserver([this](wca::Window &w) noexcept {
        auto it = open_.find(w.id());
        if (it == open_.end()) return;
        accel_->endWrites(it->second);
        open_.erase(it);
    });
}

Machine::~Machine() {
    detach();
    screen_->removeObserver(lock_token_);
    screen_->removeObserver(unlock_token_);
    // Windows go with the screen, before the accelerator they report to.
    screen_.reset();
    accel_.reset();
}

void Machine::attach(wren_bus_attach_fn attach_fn) {
    detach();
    attach_fn_ = attach_fn;
    if (attach_fn_) attach_fn_(accel_->bus());
}

void Machine::detach() {
    if (attach_fn_) attach_fn_(nullptr);
    attach_fn_ = nullptr;
}

}  // namespace wsim
