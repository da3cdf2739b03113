// The one sink through which the engine reports to its user.
#pragma once

class UpdaterDisplayInterface {
public:
    enum Level : int { MSG_INFO = 0, MSG_ERROR = 1 };

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats into 2048 bytes (longer text is cut) and hands the line to
    // error_message for MSG_ERROR, to info_message for any other level.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool mute) { muted = mute; }
    bool is_muted() const { return muted; }

protected:
    UpdaterDisplayInterface() = default;
    // Holders keep a reference and never own the display, so deleting
    // through this base is not allowed.
    ~UpdaterDisplayInterface() = default;
    UpdaterDisplayInterface(const UpdaterDisplayInterface&) = default;
    UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = default;

private:
    bool muted = false;
};
