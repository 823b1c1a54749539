// Scripted input for captures: a text such as "W:2000,Space:100" (hold W for 2 s, then Space
// for 0.1 s) turned into key and pointer events on the draw clock.
//
// Grammar (names are case-insensitive, durations in milliseconds of the draw clock):
//   script := step ("," step)*
//   step   := keys ":" ms          keys held together for ms, e.g. "W+D:500"
//           | "wait:" ms           nothing held
//           | "drag:" dx "/" dy ":" ms
//                                  left button down, the pointer moves by (dx, dy) normalised
//                                  units (the window is 2 units wide) spread over ms, button up;
//                                  the demo turns by dx radians. A scripted move reaches the
//                                  demo once, where a physical mouse's move in mouse look is
//                                  reported twice (the move and the echo of the recentre)
//   keys   := key ("+" key)*       a letter, a digit, Space, Escape, Enter, Tab
// Steps follow one another; a step's keys go down when it starts and up when it ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ombrel::capture {

struct ScriptStep {
    enum class Kind { keys, wait, drag } kind = Kind::wait;
    std::vector<int> keys; // key codes of the shell's KeyState (ASCII letters, 32, 27, ...)
    float dx = 0, dy = 0;  // drag motion in normalised pointer units
    uint32_t ms = 0;
};

// Longest script in total, about eleven days.
constexpr uint32_t maxScriptMs = 1000000000;

// Parses a script; on failure returns false with a message that quotes the bad step or says
// that the whole is too long.
bool parseScript(const std::string& text, std::vector<ScriptStep>& steps, std::string& error);

// Key code of a key name ("W", "space", "Escape"), or 0 when the name is unknown.
int keyCodeOf(const std::string& name);

struct ScriptEvent {
    enum class Kind { keyDown, keyUp, buttonDown, move, buttonUp } kind;
    int key = 0;          // key events
    float dx = 0, dy = 0; // move events
};

// Plays the steps against a clock that starts at 0 when the first frame is drawn.
class ScriptPlayer {
public:
    explicit ScriptPlayer(std::vector<ScriptStep> steps);

    // The events due as the clock moves forward to ms, in order. Each drag frame yields one move
    // with the share of the motion that fell into the elapsed time; the shares add up exactly.
    std::vector<ScriptEvent> advance(uint32_t ms);

    // Total length of the script in ms.
    uint32_t duration() const { return duration_; }
    bool finished() const { return index_ >= steps_.size(); }

private:
    void beginStep(std::vector<ScriptEvent>& out);
    void endStep(std::vector<ScriptEvent>& out);

    std::vector<ScriptStep> steps_;
    size_t index_ = 0;
    bool started_ = false;   // the step at index_ has begun
    uint32_t stepStart_ = 0; // clock value at which the step at index_ begins
    uint32_t clock_ = 0;
    float movedX_ = 0, movedY_ = 0; // drag motion already reported in the current step
    uint32_t duration_ = 0;
};

} // namespace ombrel::capture
