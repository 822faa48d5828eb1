#include "Script.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <imgui.h>

#include "SandboxHost.h"

namespace sandbox {

namespace {

std::string trim(const std::string& s)
{
    const auto a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) {
        return {};
    }
    const auto b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

std::string unquote(const std::string& s)
{
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') {
        return s.substr(1, s.size() - 2);
    }
    return s;
}

bool parseSeconds(const std::string& text, double& out)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= 0.0 && v <= 3600.0)) {
        return false;
    }
    out = v;
    return true;
}

// "SOMETHING SECONDS": the last word is the time.
bool splitTrailingSeconds(const std::string& rest, std::string& head, double& seconds)
{
    const auto space = rest.find_last_of(" \t");
    if (space == std::string::npos) {
        return false;
    }
    head = unquote(trim(rest.substr(0, space)));
    return !head.empty() && parseSeconds(rest.substr(space + 1), seconds);
}

} // namespace

bool parseScript(const std::string& source, std::vector<Step>& steps, std::string& error)
{
    std::istringstream in(source);
    std::string raw;
    int lineNo = 0;
    std::vector<Step> out;
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        Step step;
        step.line = lineNo;
        const auto space = line.find_first_of(" \t");
        step.verb = line.substr(0, space);
        const std::string rest = space == std::string::npos ? std::string() : trim(line.substr(space));
        auto bad = [&](const std::string& why) {
            error = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        };
        const std::string& v = step.verb;
        if (v == "frames") {
            char* end = nullptr;
            step.count = std::strtol(rest.c_str(), &end, 10);
            if (rest.empty() || *end != '\0' || step.count < 0 || step.count > 1000000) {
                return bad("frames wants a count");
            }
        } else if (v == "sleep" || v == "find-timeout") {
            if (!parseSeconds(rest, step.seconds)) {
                return bad(v + " wants seconds");
            }
        } else if (v == "console" || v == "event" || v == "key" || v == "screenshot") {
            step.text = unquote(rest);
            if (step.text.empty()) {
                return bad(v + " wants an argument");
            }
        } else if (v == "print" || v == "dump") {
            step.text = unquote(rest);
        } else if (v == "click" || v == "click-if" || v == "doubleclick" || v == "expect" || v == "expect-absent") {
            step.target = unquote(rest);
            if (step.target.empty()) {
                return bad(v + " wants a target");
            }
        } else if (v == "wait" || v == "wait-gone") {
            if (!splitTrailingSeconds(rest, step.target, step.seconds)) {
                return bad(v + " wants a target and seconds");
            }
        } else if (v == "wait-log") {
            if (!splitTrailingSeconds(rest, step.text, step.seconds)) {
                return bad("wait-log wants a text and seconds");
            }
        } else if (v == "type") {
            std::string after;
            if (!rest.empty() && rest[0] == '"') {
                const auto close = rest.find('"', 1);
                if (close == std::string::npos) {
                    return bad("type: unterminated quote");
                }
                step.target = rest.substr(1, close - 1);
                after = rest.substr(close + 1);
            } else {
                const auto gap = rest.find_first_of(" \t");
                step.target = rest.substr(0, gap);
                after = gap == std::string::npos ? std::string() : rest.substr(gap);
            }
            step.text = unquote(trim(after));
            if (step.target.empty() || step.text.empty()) {
                return bad("type wants a target and a text");
            }
        } else {
            return bad("unknown step \"" + v + "\"");
        }
        out.push_back(std::move(step));
    }
    steps = std::move(out);
    return true;
}

bool loadScript(const std::string& path, std::vector<Step>& steps, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the script " + path;
        return false;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    if (!parseScript(buffer.str(), steps, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

ScriptRunner::ScriptRunner(SandboxHost& host, std::vector<Step> steps, Screenshot screenshot, KeyPress keyPress)
    : host_(host), steps_(std::move(steps)), screenshot_(std::move(screenshot)), keyPress_(std::move(keyPress))
{
}

void ScriptRunner::fail(const std::string& message)
{
    const Step& step = steps_[index_];
    failed_ = true;
    error_ = "script line " + std::to_string(step.line) + " (" + step.verb + "): " + message;
}

void ScriptRunner::finishStep()
{
    ++index_;
    started_ = false;
}

void ScriptRunner::startStep()
{
    const Step& step = steps_[index_];
    const auto now = Clock::now();
    started_ = true;
    phase_ = 0;
    rect_.reset();
    const auto secondsFromNow = [&](double s) {
        return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    if (step.verb == "frames") {
        framesLeft_ = step.count;
    } else if (step.verb == "sleep" || step.verb == "wait" || step.verb == "wait-gone" || step.verb == "wait-log") {
        deadline_ = secondsFromNow(step.seconds);
    } else if (step.verb == "console") {
        gameJob_ = host_.runCommand(step.text);
        deadline_ = now + std::chrono::seconds(10);
    } else if (step.verb == "event") {
        gameJob_ = host_.fireEvent(step.text);
        deadline_ = now + std::chrono::seconds(10);
    } else {
        deadline_ = now + findTimeout;
    }
}

void ScriptRunner::prepareFrame(ImGuiIO& io)
{
    if (finished()) {
        return;
    }
    if (!started_) {
        startStep();
    }
    const Step& step = steps_[index_];
    if (!rect_ || phase_ == 0) {
        return;
    }
    io.MousePos = ImVec2(rect_->cx(), rect_->cy());
    switch (phase_) {
    case 1: // hover first: some widgets react to the hover of the previous frame
        io.MouseDown[0] = false;
        break;
    case 2:
    case 4:
        io.MouseDown[0] = true;
        break;
    case 3:
    case 5:
        io.MouseDown[0] = false;
        break;
    case 10: // select what the field holds, so the text replaces it
        io.KeyCtrl = true;
        io.KeysDown[io.KeyMap[ImGuiKey_A]] = true;
        break;
    case 11:
        io.KeyCtrl = false;
        io.KeysDown[io.KeyMap[ImGuiKey_A]] = false;
        break;
    case 12:
        io.AddInputCharactersUTF8(step.text.c_str());
        break;
    default:
        break;
    }
}

void ScriptRunner::afterFrame()
{
    if (finished() || !started_) {
        return;
    }
    const Step& step = steps_[index_];
    const auto now = Clock::now();
    const std::string& v = step.verb;

    if (v == "click" || v == "click-if" || v == "doubleclick" || v == "type") {
        if (phase_ == 0) {
            rect_ = targets::find(step.target);
            if (rect_) {
                phase_ = 1;
            } else if (now >= deadline_ && v == "click-if") {
                finishStep();
            } else if (now >= deadline_) {
                fail("no widget \"" + step.target + "\" on screen");
            }
            return;
        }
        if (phase_ == 3 && (v == "click" || v == "click-if")) {
            finishStep();
        } else if (phase_ == 3 && v == "type") {
            phase_ = 10;
        } else if (phase_ == 5 || phase_ == 13) {
            finishStep();
        } else {
            ++phase_;
        }
        return;
    }
    if (v == "frames") {
        if (--framesLeft_ <= 0) {
            finishStep();
        }
    } else if (v == "sleep") {
        if (now >= deadline_) {
            finishStep();
        }
    } else if (v == "console" || v == "event") {
        if (host_.gameDone(gameJob_)) {
            finishStep();
        } else if (now >= deadline_) {
            fail("the game thread did not run \"" + step.text + "\" in time");
        }
    } else if (v == "wait" || v == "wait-gone") {
        const bool present = targets::find(step.target).has_value();
        if (present == (v == "wait")) {
            finishStep();
        } else if (now >= deadline_) {
            fail(v == "wait" ? "no widget \"" + step.target + "\" appeared in time"
                             : "the widget \"" + step.target + "\" did not go away in time");
        }
    } else if (v == "wait-log") {
        for (const auto& line : host_.consoleSince(logCursor_)) {
            if (line.text.find(step.text) != std::string::npos) {
                logCursor_ = line.seq + 1;
                finishStep();
                return;
            }
        }
        if (now >= deadline_) {
            fail("no console line containing \"" + step.text + "\" in time");
        }
    } else if (v == "expect" || v == "expect-absent") {
        const bool present = targets::find(step.target).has_value();
        if (present == (v == "expect")) {
            finishStep();
        } else {
            fail(present ? "the widget \"" + step.target + "\" is on screen" : "no widget \"" + step.target + "\"");
        }
    } else if (v == "screenshot") {
        std::string error;
        if (screenshot_ && screenshot_(step.text, error)) {
            finishStep();
        } else {
            fail(screenshot_ ? error : "screenshots need a window");
        }
    } else if (v == "find-timeout") {
        findTimeout = std::chrono::milliseconds(static_cast<long>(step.seconds * 1000.0));
        finishStep();
    } else if (v == "key") {
        if (keyPress_) {
            keyPress_(step.text);
        }
        finishStep();
    } else if (v == "print" || v == "dump") {
        std::printf("%s\n", v == "print" ? step.text.c_str() : targets::describe().c_str());
        std::fflush(stdout);
        finishStep();
    } else {
        fail("unknown step");
    }
}

bool ScriptRunner::wantsImmediateFrame() const
{
    if (finished()) {
        return false;
    }
    if (!started_) {
        return true;
    }
    const Step& step = steps_[index_];
    if (step.verb == "click" || step.verb == "click-if" || step.verb == "doubleclick" || step.verb == "type") {
        return phase_ != 0;
    }
    return step.verb == "frames" || step.verb == "print" || step.verb == "dump" || step.verb == "find-timeout" ||
           step.verb == "key" || step.verb == "expect" || step.verb == "expect-absent" || step.verb == "screenshot";
}

} // namespace sandbox
