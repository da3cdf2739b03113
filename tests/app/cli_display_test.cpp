// Console display: which stream each message reaches, and the bar, spinner
// and erase sequences drawn on a terminal (a pseudo-terminal here) but never
// into a pipe or file.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileText.h"
#include "CLI_Display.h"

namespace {

std::string readAll(int fd, int firstWaitMs)
{
    std::string out;
    int wait = firstWaitMs;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0 || (p.revents & POLLIN) == 0)
            break;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
        wait = 200;
    }
    return out;
}

// Points file descriptor `target` (1 or 2) somewhere else for the life of
// the object.
class Redirect {
public:
    Redirect(int target, int replacement) : target(target), saved(dup(target))
    {
        fflush(nullptr);
        dup2(replacement, target);
    }
    ~Redirect() { restore(); }
    void restore()
    {
        if (saved < 0)
            return;
        fflush(nullptr);
        dup2(saved, target);
        close(saved);
        saved = -1;
    }

private:
    int target;
    int saved;
};

// Standard output on a raw pseudo-terminal; text() returns what reached it.
class PtyStdout {
public:
    PtyStdout()
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        redirect = std::make_unique<Redirect>(1, slave);
    }
    ~PtyStdout()
    {
        redirect.reset();
        close(slave);
        close(master);
    }
    std::string text()
    {
        redirect->restore();
        return readAll(master, 1000);
    }

private:
    int master = -1;
    int slave = -1;
    std::unique_ptr<Redirect> redirect;
};

// A stream (1 or 2) captured into a temporary file.
class FileCapture {
public:
    explicit FileCapture(int target) : file(tmpfile()), redirect(target, fileno(file)) {}
    ~FileCapture() { fclose(file); }
    std::string text()
    {
        redirect.restore();
        return readFileText(file);
    }

private:
    FILE* file;
    Redirect redirect;
};

const std::string kErase = "\r" + std::string(88, ' ') + "\r";

TEST(CliDisplayMessages, LevelsChooseTheStream)
{
    struct Case {
        int level;
        bool toStderr;
    };
    const Case cases[] = {{0, false}, {1, true}, {7, false}};
    for (const Case& c : cases) {
        CLI_Display display;
        FileCapture out(1);
        FileCapture err(2);
        display.message(static_cast<UpdaterDisplayInterface::Level>(c.level), "line %d of %s", 3, "text");
        std::string outText = out.text();
        std::string errText = err.text();
        EXPECT_EQ(c.toStderr ? "" : "line 3 of text\n", outText) << c.level;
        EXPECT_EQ(c.toStderr ? "line 3 of text\n" : "", errText) << c.level;
    }
}

TEST(CliDisplayMessages, LongTextIsCutTo2047Characters)
{
    CLI_Display display;
    std::string longText(3000, 'x');
    FileCapture out(1);
    display.message(UpdaterDisplayInterface::MSG_INFO, "%s", longText.c_str());
    EXPECT_EQ(std::string(2047, 'x') + "\n", out.text());
}

TEST(CliDisplayMessages, MutedDisplayPrintsNoMessagesButStillDraws)
{
    CLI_Display display;
    display.mute_messages(true);
    {
        FileCapture err(2);
        PtyStdout pty;
        display.message(UpdaterDisplayInterface::MSG_INFO, "hidden");
        display.message(UpdaterDisplayInterface::MSG_ERROR, "hidden");
        display.display_progress(false);
        EXPECT_EQ(kErase, pty.text());
        EXPECT_EQ("", err.text());
    }
    display.mute_messages(false);
    FileCapture out(1);
    display.message(UpdaterDisplayInterface::MSG_INFO, "shown");
    EXPECT_EQ("shown\n", out.text());
}

TEST(CliDisplayDrawing, NothingIsDrawnIntoAFile)
{
    CLI_Display display;
    FileCapture out(1);
    display.display_progress(true);
    display.update_progress(0.5, nullptr);
    display.update_progress(1.0, "Label");
    display.update_spinner(true, "Downloading");
    display.update_spinner(true, nullptr);
    display.update_spinner(false, "Downloading");
    display.display_progress(false);
    display.message(UpdaterDisplayInterface::MSG_INFO, "still printed");
    EXPECT_EQ("still printed\n", out.text());
}

TEST(CliDisplayDrawing, NothingIsDrawnIntoAPipe)
{
    CLI_Display display;
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    {
        Redirect redirect(1, fds[1]);
        display.update_progress(0.25, nullptr);
        display.update_spinner(true, nullptr);
        display.display_progress(false);
    }
    close(fds[1]);
    EXPECT_EQ("", readAll(fds[0], 100));
    close(fds[0]);
}

std::string bar(int equals, int spaces, const char* percent)
{
    return "[" + std::string(equals, '=') + ">" + std::string(spaces, ' ') + "] (" + percent + "% ) ";
}

TEST(CliDisplayDrawing, ProgressBarOnTerminal)
{
    struct Case {
        double fraction;
        const char* label;
        std::string expected;
    };
    // With a label the bar is 69 - strlen(label) - 4 wide; at 100 % the
    // space field is one wider than the bar leaves.
    const Case cases[] = {
        {0.0, nullptr, "\r" + bar(0, 68, "  0")},
        {0.5, nullptr, "\r" + bar(34, 34, " 50")},
        {0.999, nullptr, "\r" + bar(68, 0, " 99")},
        {1.0, nullptr, "\r" + bar(69, 1, "100")},
        {0.5, "Downloading", "\r (Downloading) " + bar(27, 26, " 50")},
        {1.0, "Downloading", "\r (Downloading) " + bar(54, 1, "100")},
        {260.0 / 1004.0, nullptr, "\r" + bar(17, 51, " 25")},
        // Out-of-range fractions are held to the bar's ends.
        {-0.5, nullptr, "\r" + bar(0, 68, "  0")},
        {1.5, nullptr, "\r" + bar(69, 1, "100")},
    };
    CLI_Display display;
    for (const Case& c : cases) {
        PtyStdout pty;
        display.update_progress(c.fraction, c.label);
        EXPECT_EQ(c.expected, pty.text()) << c.fraction << " " << (c.label ? c.label : "");
    }
}

TEST(CliDisplayDrawing, EraseOnlyWhenHiding)
{
    CLI_Display display;
    PtyStdout pty;
    display.display_progress(true);
    display.display_progress(false);
    display.update_spinner(false, "Verifying Update");
    EXPECT_EQ(kErase + kErase, pty.text());
}

const std::vector<std::string> kFrames = {".", "..", "...", "....", ".....", "....", "...", ".."};

std::vector<std::string> drawFrames(std::vector<CLI_Display*> displays, int count, const char* label)
{
    PtyStdout pty;
    for (int i = 0; i < count; ++i)
        displays[static_cast<size_t>(i) % displays.size()]->update_spinner(true, label);
    std::string text = pty.text();
    std::string head = label ? std::string("\r (") + label + ") " : std::string("\r ");
    std::string tail = "      \r";
    std::vector<std::string> frames;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text.compare(pos, head.size(), head) != 0)
            break;
        size_t end = text.find(tail, pos + head.size());
        if (end == std::string::npos)
            break;
        frames.push_back(text.substr(pos + head.size(), end - pos - head.size()));
        pos = end + tail.size();
    }
    EXPECT_EQ(text.size(), pos) << "unparsed spinner output";
    return frames;
}

TEST(CliDisplayDrawing, SpinnerCyclesThroughEightFramesSharedByAllDisplays)
{
    CLI_Display first;
    CLI_Display second;
    std::vector<std::string> frames = drawFrames({&first, &second}, 16, "Downloading");
    ASSERT_EQ(16u, frames.size());
    // The counter is process-wide: accept any starting frame, then the cycle.
    bool matched = false;
    for (size_t offset = 0; offset < kFrames.size() && !matched; ++offset) {
        matched = true;
        for (size_t i = 0; i < frames.size(); ++i)
            matched = matched && frames[i] == kFrames[(offset + i) % kFrames.size()];
    }
    EXPECT_TRUE(matched) << ::testing::PrintToString(frames);
}

TEST(CliDisplayDrawingDeathTest, SpinnerStartsWithOneDotInAFreshProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child re-runs this test from the start, so its counter is fresh.
    EXPECT_EXIT(
        {
            CLI_Display first;
            CLI_Display second;
            std::vector<std::string> frames = drawFrames({&first, &first, &first, &first, &second}, 9, nullptr);
            std::vector<std::string> expected = kFrames;
            expected.push_back(".");
            _exit(frames == expected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
