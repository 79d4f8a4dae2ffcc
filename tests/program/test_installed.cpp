// The installed program as a user meets it: `cmake --install` into a
// scratch prefix, prefix/bin/quadrant on the Xvfb display CMakeLists.txt
// gives this test and on a private sound server with a 5.1 null sink,
// driven by X input alone (xdotool) and judged by what the sink's monitor
// recorded.  Nothing of the program is faked.  Every step waits for what
// it should cause: on a loaded machine the window, the chooser and the
// server may each take seconds.
#include "Form1Layout.h"
#include "sound_server.h"
#include "test_support.h"

#include <X11/Xlib.h>

using namespace sona_test;

namespace {

class Installed : public ::testing::Test {
protected:
    /* xdotool's output, a line each; a failure names the command. */
    std::vector<std::string> xdo(const std::string &args, bool must = true)
    {
        std::string out;
        const bool ok = sound::capture("timeout 30 xdotool " + args, &out);
        EXPECT_TRUE(ok || !must) << "xdotool " << args << ": " << out;
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    /* The program's visible windows other than its main one. */
    std::vector<std::string> dialogs(pid_t pid)
    {
        std::vector<std::string> found = xdo("search --onlyvisible --pid " + std::to_string(pid), false);
        found.erase(std::remove(found.begin(), found.end(), window_), found.end());
        return found;
    }
    void click(const Form1Layout::Place &place)
    {
        xdo("windowfocus --sync " + window_ + " mousemove --window " + window_ + " " +
            std::to_string(place.centreX()) + " " + std::to_string(place.centreY()) + " click 1");
    }
    void type_into(const Form1Layout::Place &box, int value)
    {
        click(box);
        xdo("key --window " + window_ + " ctrl+a type --window " + window_ + " " + std::to_string(value));
    }

    TempDir dir_;
    sound::Server server_{sound::Kind::PulseAudio, {{"surround", 6}}};
    sound::Recorder recorder_{server_, {"surround", 6}};
    std::string window_;
};

TEST_F(Installed, PlaysRoutesEachBalanceFollowsTheSliderAndStops)
{
    ASSERT_TRUE(server_.ok()) << server_.error();
    const std::string prefix = dir_.file("prefix");
    ASSERT_EQ(std::system(("cmake --install " QUADRANT_BUILD_DIR " --prefix " + prefix + " >/dev/null").c_str()), 0);
    const std::string tone =
        make_tone(dir_, "tone.flac", {{sine(1000), sine(1000)}, "stereo", 120, 44100, "-c:a flac"});

    std::vector<std::string> env = server_.env();
    env.insert(env.end(), {"QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME=" + dir_.path()});
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers intercept dlopen, and glibc then searches their
    // runtime's RUNPATH, not the program's: the normal build proves that.
    env.push_back("LD_LIBRARY_PATH=" + prefix + "/" QUADRANT_INSTALL_LIBDIR);
#else
    env.push_back("LD_LIBRARY_PATH=");
#endif
#if defined(__SANITIZE_ADDRESS__)
    // At this program's exit LeakSanitizer's own tracer now and then
    // crashes ("Tracer caught signal 11"), and the run fails for nothing the
    // program did; the library's leaks are judged by the tests that load it
    // into their own process.
    env.push_back("ASAN_OPTIONS=detect_leaks=0");
#endif
    sound::Child program({prefix + "/bin/quadrant"}, env, dir_.file("quadrant.log"));
    window_ = xdo("search --sync --onlyvisible --classname '^quadrant$'").at(0);
    // With its output connected, the library loads the decoder before Play asks.
    EXPECT_TRUE(eventually([&] { return mapped("libavformat", std::to_string(program.pid())); }))
        << "the decoder was not loaded ahead";

    // The slider to 100 first, so the tone is heard at unity; then Play,
    // answering Qt's own chooser by typing the path.
    click(Form1Layout::Slider1);
    xdo("key --window " + window_ + " End");
    click(Form1Layout::Command2);
    ASSERT_TRUE(eventually([&] { return !dialogs(program.pid()).empty(); })) << "the chooser did not open";
    xdo("windowfocus --sync " + dialogs(program.pid()).at(0) + " type --delay 20 '" + tone + "'");
    for (int i = 0; i < 10 && !dialogs(program.pid()).empty(); ++i)
        xdo("key Return sleep 1"); /* a completion list may take the first Return */
    recorder_.expect_heard({1, 1, 0, 0, 0, 0}, "Play");

    const std::pair<std::pair<int, int>, std::vector<double>> points[] = {
        {{100, 100}, {0, 0, 0, 0, 1, 0}}, {{700, 500}, {0, 1, 0, 0, 0, 0}}, {{400, 300}, {0, 0, 1, 0, 0, 0}},
        {{100, 500}, {1, 0, 0, 0, 0, 0}}, {{700, 100}, {0, 0, 0, 0, 0, 1}}};
    for (const auto &[at, heard] : points) {
        type_into(Form1Layout::Text1, at.first);
        type_into(Form1Layout::Text2, at.second);
        click(Form1Layout::Command3);
        recorder_.expect_heard(heard, "Balance at " + std::to_string(at.first) + ", " + std::to_string(at.second));
    }

    // Ten pages of five: 50, heard at (50/100)^3.
    click(Form1Layout::Slider1);
    xdo("key --window " + window_ + " Home Page_Up Page_Up Page_Up Page_Up Page_Up Page_Up Page_Up Page_Up"
        " Page_Up Page_Up");
    recorder_.expect_heard({0, 0, 0, 0, 0, 0.125}, "Slider at 50");

    click(Form1Layout::Command1);
    recorder_.expect_heard({0, 0, 0, 0, 0, 0}, "Stop");

    // The window's close button, as a window manager reports it.
    Display *d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    XEvent close{};
    close.xclient = {ClientMessage, 0, True, d, Window(std::stoul(window_)),
                     XInternAtom(d, "WM_PROTOCOLS", False), 32, {}};
    close.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    XSendEvent(d, close.xclient.window, False, NoEventMask, &close);
    XCloseDisplay(d);
    const int status = program.wait(60s);
    const std::vector<uint8_t> log = read_file(dir_.file("quadrant.log"));
    EXPECT_EQ(status, 0) << std::string(log.begin(), log.end());
}

} // namespace
