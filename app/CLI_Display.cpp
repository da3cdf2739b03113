#include "CLI_Display.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
const char kBarTemplate[] = "=====================================================================";
constexpr int kBarWidth = sizeof kBarTemplate - 1;
static_assert(kBarWidth == 69);
// Longest label that still leaves room for the bar's brackets and marker.
constexpr int kMaxLabel = 65;

} // namespace

CLI_Display::CLI_Display()
{
    // Partial lines (bar, spinner) must appear at once.
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

bool CLI_Display::stdout_is_terminal()
{
    return isatty(fileno(stdout)) == 1;
}

void CLI_Display::erase_line()
{
    fprintf(stdout, "\r%88s\r", "");
}

void CLI_Display::display_progress(bool show)
{
    if (!show && stdout_is_terminal())
        erase_line();
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!stdout_is_terminal())
        return;
    // Out-of-range or NaN fractions would make the fields negative or
    // overrun the template.
    if (!(fraction >= 0.0))
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    int width = kBarWidth;
    int labelLength = 0;
    if (label != nullptr) {
        labelLength = static_cast<int>(strnlen(label, kMaxLabel));
        width = kBarWidth - labelLength - 4;
    }
    int percent = static_cast<int>(fraction * 100.0);
    int filled = static_cast<int>(width * fraction);
    int spaces = width - filled - 1;
    if (label == nullptr)
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBarTemplate, spaces, "", percent);
    else
        fprintf(stdout, "\r (%.*s) [%.*s>%*s] (%3d%% ) ", labelLength, label, filled, kBarTemplate, spaces,
                "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label)
{
    // Shared by every display object for the life of the process.
    static uint8_t count = 0;
    if (!stdout_is_terminal())
        return;
    if (!active) {
        erase_line();
        return;
    }
    const char* frame = kSpinnerFrames[count];
    if (label == nullptr)
        fprintf(stdout, "\r %s      \r", frame);
    else
        fprintf(stdout, "\r (%s) %s      \r", label, frame);
    count = static_cast<uint8_t>((count + 1) % 8);
}

void CLI_Display::info_message(const char* text)
{
    fprintf(stdout, "%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
    fprintf(stderr, "%s\n", text);
}
