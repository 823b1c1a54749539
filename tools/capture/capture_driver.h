// Drives the real demo viewport through the real window shell for a number of frames: plays an
// input script into the shell's input entry points, runs the draw clock at a fixed step when
// asked, and reads frames back before they are swapped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/nadirport.h"
#include "shell/viewport.h"
#include "shell/window_shell.h"
#include "tools/capture/input_script.h"
#include "tools/capture/png_writer.h"

namespace ombrel::capture {

// The shell's clock for fixed-step runs: it reads a counter that the driver moves forward by a
// fixed amount after every frame, so the demo sees the same times on any machine. One capture
// per process at a time.
std::uint32_t fixedStepClock();

struct CaptureSettings {
    int sector = 0;
    bool place = true; // put the viewer at position/direction after init
    vec3 position;
    vec3 direction{0, 0, -1};
    int frames = 8; // frames to draw before quitting with code 0
    // While this returns true the run goes on past `frames` (a scripted headset still moving).
    std::function<bool()> keepRunning;
    std::uint32_t frameMs = 16; // 0: the shell keeps its real clock
    std::vector<ScriptStep> script;
    int every = 0;         // write every K-th frame to numbered files (0: none)
    std::string out;       // where the last frame goes; empty: keep it in memory only
    bool progress = false; // progress lines on standard error
};

// Stands between the shell and the demo: the shell drives it as its viewport, the demo sees it
// as its host. Everything is passed through; quit and pointer-mode calls are also recorded.
class CaptureDriver : public IViewport, public IViewportHost {
public:
    CaptureDriver(Nadirport& demo, CaptureSettings settings);

    // The clock to hand to the WindowShell for these settings.
    MillisecondClock clock() const;
    // Call after constructing the shell and before run(): input is played through it.
    void attach(WindowShell* shell) { shell_ = shell; }

    // IViewport, as seen by the shell.
    void init(IViewportHost* host, GraphicsContext* context) override;
    void resize(int width, int height) override;
    void pointerEvent(const PointerState* pointers) override;
    void keyEvent(const KeyState* keys) override;
    void draw(std::uint32_t timeMs, float seconds) override;
    void close() override;

    // IViewportHost, as seen by the demo.
    void quit(int code) override;
    void requestRedraw() override;
    void setRelativePointer(bool on) override;
    void hideCursor(bool hide) override;
    const PointerState* pointers() const override;
    const KeyState* keys() const override;

    // Hooks for tests, around each frame's draw (frames count from 0). afterFrame sees the
    // frame read back when it is to be kept (written, or the last one), else null.
    std::function<void(int frame)> beforeFrame;
    std::function<void(int frame, const Image* image)> afterFrame;
    // Read back every frame, for afterFrame.
    bool grabEveryFrame = false;

    int framesDrawn() const { return framesDrawn_; }
    const Image& lastFrame() const { return last_; }
    bool quitRequested() const { return quitCode_ >= 0; } // by the demo
    int quitCode() const { return quitCode_; }
    int quitFrame() const { return quitFrame_; } // frames drawn when the demo quit
    const std::vector<std::string>& errors() const { return errors_; }
    std::uint32_t lastTimeMs() const { return lastTimeMs_; }

private:
    void play(std::uint32_t scriptMs);
    void grab(Image& image) const;

    Nadirport& demo_;
    CaptureSettings settings_;
    ScriptPlayer player_;
    IViewportHost* host_ = nullptr;
    WindowShell* shell_ = nullptr;
    int framesDrawn_ = 0;
    bool started_ = false;
    std::uint32_t firstMs_ = 0;
    std::uint32_t lastTimeMs_ = 0;
    int quitCode_ = -1;
    int quitFrame_ = -1;
    bool stopping_ = false;
    Image last_;
    std::vector<std::string> errors_;
    double startSeconds_ = 0;
    double lastReport_ = 0;
};

} // namespace ombrel::capture
