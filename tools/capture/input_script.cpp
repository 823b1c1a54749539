// Parser and player of capture input scripts.
#include "tools/capture/input_script.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace ombrel::capture {

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return {};
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

bool parseMs(const std::string& text, uint32_t& ms) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), ::isdigit) || text.size() > 9)
        return false;
    ms = uint32_t(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

bool parseFloat(const std::string& text, float& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtof(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

} // namespace

int keyCodeOf(const std::string& name) {
    const std::string n = lower(name);
    if (n.size() == 1 && std::isalpha(static_cast<unsigned char>(n[0])))
        return std::toupper(static_cast<unsigned char>(n[0]));
    if (n.size() == 1 && std::isdigit(static_cast<unsigned char>(n[0])))
        return n[0];
    if (n == "space")
        return 32;
    if (n == "escape" || n == "esc")
        return 27;
    if (n == "enter" || n == "return")
        return 13;
    if (n == "tab")
        return 9;
    return 0;
}

bool parseScript(const std::string& text, std::vector<ScriptStep>& steps, std::string& error) {
    steps.clear();
    if (trim(text).empty())
        return true;
    uint64_t total = 0;
    for (const std::string& raw : split(text, ',')) {
        const std::string item = trim(raw);
        const std::vector<std::string> fields = split(item, ':');
        ScriptStep step;
        const std::string head = lower(trim(fields[0]));
        if (head == "drag") {
            const std::vector<std::string> motion =
                fields.size() == 3 ? split(fields[1], '/') : std::vector<std::string>{};
            if (motion.size() != 2 || !parseFloat(trim(motion[0]), step.dx) ||
                !parseFloat(trim(motion[1]), step.dy) || !parseMs(trim(fields[2]), step.ms)) {
                error = "bad script step \"" + item + "\": expected drag:DX/DY:MS";
                return false;
            }
            step.kind = ScriptStep::Kind::drag;
        } else {
            if (fields.size() != 2 || !parseMs(trim(fields[1]), step.ms)) {
                error = "bad script step \"" + item + "\": expected KEY:MS (for example W:2000)";
                return false;
            }
            if (head == "wait") {
                step.kind = ScriptStep::Kind::wait;
            } else {
                step.kind = ScriptStep::Kind::keys;
                for (const std::string& name : split(fields[0], '+')) {
                    const int code = keyCodeOf(trim(name));
                    if (code == 0) {
                        error = "bad script step \"" + item + "\": unknown key \"" + trim(name) +
                                "\" (letters, digits, Space, Escape, Enter, Tab)";
                        return false;
                    }
                    if (std::find(step.keys.begin(), step.keys.end(), code) == step.keys.end())
                        step.keys.push_back(code);
                }
            }
        }
        // The player's clock and the frame count are 32-bit: a longer script would wrap them
        // and end the capture early.
        total += step.ms;
        if (total > maxScriptMs) {
            error = "the script lasts longer than " + std::to_string(maxScriptMs) + " ms";
            steps.clear();
            return false;
        }
        steps.push_back(step);
    }
    return true;
}

ScriptPlayer::ScriptPlayer(std::vector<ScriptStep> steps) : steps_(std::move(steps)) {
    for (const ScriptStep& s : steps_)
        duration_ += s.ms;
}

void ScriptPlayer::beginStep(std::vector<ScriptEvent>& out) {
    const ScriptStep& step = steps_[index_];
    started_ = true;
    movedX_ = movedY_ = 0;
    if (step.kind == ScriptStep::Kind::keys) {
        for (int key : step.keys)
            out.push_back({ScriptEvent::Kind::keyDown, key, 0, 0});
    } else if (step.kind == ScriptStep::Kind::drag) {
        out.push_back({ScriptEvent::Kind::buttonDown, 0, 0, 0});
    }
}

void ScriptPlayer::endStep(std::vector<ScriptEvent>& out) {
    const ScriptStep& step = steps_[index_];
    if (step.kind == ScriptStep::Kind::keys) {
        for (int key : step.keys)
            out.push_back({ScriptEvent::Kind::keyUp, key, 0, 0});
    } else if (step.kind == ScriptStep::Kind::drag) {
        // The rest of the motion, so that rounding never loses any of it.
        if (step.dx - movedX_ != 0 || step.dy - movedY_ != 0)
            out.push_back({ScriptEvent::Kind::move, 0, step.dx - movedX_, step.dy - movedY_});
        out.push_back({ScriptEvent::Kind::buttonUp, 0, 0, 0});
    }
    stepStart_ += step.ms;
    ++index_;
    started_ = false;
}

std::vector<ScriptEvent> ScriptPlayer::advance(uint32_t ms) {
    std::vector<ScriptEvent> out;
    clock_ = std::max(clock_, ms);
    while (index_ < steps_.size()) {
        if (!started_)
            beginStep(out);
        const ScriptStep& step = steps_[index_];
        if (clock_ - stepStart_ >= step.ms) {
            endStep(out);
            continue;
        }
        if (step.kind == ScriptStep::Kind::drag && clock_ > stepStart_) {
            const float share = float(clock_ - stepStart_) / float(step.ms);
            const float x = step.dx * share, y = step.dy * share;
            if (x != movedX_ || y != movedY_)
                out.push_back({ScriptEvent::Kind::move, 0, x - movedX_, y - movedY_});
            movedX_ = x;
            movedY_ = y;
        }
        break;
    }
    return out;
}

} // namespace ombrel::capture
