// Console display: lines on stdout/stderr, bar and spinner drawn in place
// only when stdout is a terminal.
#pragma once

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    CLI_Display();
    ~CLI_Display() = default;
    CLI_Display(const CLI_Display&) = delete;
    CLI_Display& operator=(const CLI_Display&) = delete;

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

private:
    static bool stdout_is_terminal();
    static void erase_line();
};
