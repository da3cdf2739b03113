// A display that records what the engine or front end tells the user, for
// tests that check messages without a console.
#pragma once

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    struct Line {
        bool error;
        std::string text;
        bool operator==(const Line&) const = default;
    };

    void display_progress(bool show) override { events.push_back(show ? "progress:show" : "progress:hide"); }
    void update_progress(double fraction, const char* label) override
    {
        events.push_back("progress:" + std::to_string(fraction) + ":" + (label ? label : ""));
    }
    void update_spinner(bool active, const char* label) override
    {
        events.push_back(std::string(active ? "spinner:on:" : "spinner:off:") + (label ? label : ""));
    }
    void info_message(const char* text) override { lines.push_back({false, text}); }
    void error_message(const char* text) override { lines.push_back({true, text}); }

    std::vector<std::string> errors() const
    {
        std::vector<std::string> out;
        for (const Line& line : lines)
            if (line.error)
                out.push_back(line.text);
        return out;
    }
    std::vector<std::string> infos() const
    {
        std::vector<std::string> out;
        for (const Line& line : lines)
            if (!line.error)
                out.push_back(line.text);
        return out;
    }

    std::vector<Line> lines;
    std::vector<std::string> events;
};
