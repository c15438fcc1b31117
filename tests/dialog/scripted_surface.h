// A scripted window for the soft dialog manager: it shows nothing and hands the dialog one
// scripted step per wait (an input, or a check that looks at the dialog between inputs). Once
// the script is done it lets time pass, so timers tick, and gives up with the close box after
// a while so that a failing test cannot hang.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "dialog/soft_dialog.h"

class ScriptedSurface : public CSoftSurface {
public:
    using Step = std::function<std::optional<SoftInput>()>;

    bool connect(SoftMetrics& metrics) override {
        metrics = SoftMetrics{};
        return available;
    }
    bool show(const char* caption, int w, int h) override {
        title = caption;
        width = w;
        height = h;
        shownAt = std::chrono::steady_clock::now();
        return true;
    }
    void draw(const CSoftDialog&) override { ++draws; }
    bool waitInput(int milliseconds, SoftInput& input) override {
        if (!steps.empty()) {
            Step step = std::move(steps.front());
            steps.pop_front();
            std::optional<SoftInput> next = step();
            if (next) input = *next;
            return next.has_value();
        }
        if (std::chrono::steady_clock::now() - shownAt > giveUpAfter) {
            gaveUp = true;
            input = {};
            input.type = SoftInput::Type::Close;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return false;
    }
    void close() override { ++closes; }

    // Script helpers.
    void key(SoftKey k) {
        steps.push_back([k] {
            SoftInput in;
            in.key = k;
            return std::optional<SoftInput>(in);
        });
    }
    void type(const std::string& text) {
        for (char c : text) {
            steps.push_back([c] {
                SoftInput in;
                in.key = SoftKey::Character;
                in.character = c;
                return std::optional<SoftInput>(in);
            });
        }
    }
    void alt(char c) {
        steps.push_back([c] {
            SoftInput in;
            in.type = SoftInput::Type::Mnemonic;
            in.character = c;
            return std::optional<SoftInput>(in);
        });
    }
    void click(int x, int y) {
        steps.push_back([x, y] {
            SoftInput in;
            in.type = SoftInput::Type::Press;
            in.x = x;
            in.y = y;
            return std::optional<SoftInput>(in);
        });
        steps.push_back([x, y] {
            SoftInput in;
            in.type = SoftInput::Type::Release;
            in.x = x;
            in.y = y;
            return std::optional<SoftInput>(in);
        });
    }
    void check(std::function<void()> f) {
        steps.push_back([f = std::move(f)] {
            f();
            return std::optional<SoftInput>();
        });
    }

    bool available = true;
    std::deque<Step> steps;
    std::chrono::milliseconds giveUpAfter{5000};
    bool gaveUp = false;
    int draws = 0;
    int closes = 0;
    std::string title;
    int width = 0, height = 0;
    std::chrono::steady_clock::time_point shownAt{};
};
