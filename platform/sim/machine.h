// A whole simulated machine: the screen of the window system with the
// accelerator attached to it.
//
// The accelerator's register base, board block, screen-mode flags and
// pixel-mapping spaces are set in the screen's board properties, and the
// accelerator follows every outermost window lock and unlock so that processor
// writes into the window's visible area pass the plane mask. Windows may be
// locked and drawn into from several threads (window_system.h, accelerator.h). The plug-in reaches the
// accelerator once its bus hook is installed: attach() with the plug-in's
// wren_bus_attach (linked, or looked up in the loaded plug-in); the machine
// detaches it again when it is destroyed.
#pragma once

#include "accelerator.h"
#include "window_system.h"

#include <map>
#include <memory>

namespace wsim {

struct MachineOptions {
    int width = 1280, height = 1024;
    bool stereo = false;
    bool high_resolution = false;
    bool first_generation = false;  // board generation below 0x20 in word 0
    bool pages_forbidden = false;   // board word 4 bit 1
    int map_mode = 1;               // pixel-mapping mode: 1 mapping space, 2 direct views, 0 none
};

class Machine {
public:
    explicit Machine(const MachineOptions &opt = {});
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    wca::Screen &screen() { return *screen_; }
    Accelerator &accel() { return *accel_; }
    const MachineOptions &options() const { return opt_; }
    const wren_bus *bus() const { return accel_->bus(); }

    // Installs the bus hook through the plug-in's attach function (null: none).
    void attach(wren_bus_attach_fn attach_fn);
    void detach();

private:
    MachineOptions opt_;
    std::unique_ptr<wca::Screen> screen_;
    std::unique_ptr<Accelerator> accel_;
    int lock_token_ = 0, unlock_token_ = 0;
    std::map<int, int> open_;  // window id -> accelerator write token
    wren_bus_attach_fn attach_fn_ = nullptr;
};

}  // namespace wsim
