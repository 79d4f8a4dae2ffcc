// The installed program end to end: `cmake --install` into a temporary
// prefix, prefix/bin/quadrant under Xvfb on a private PulseAudio server
// with a 5.1 null sink, driven only by X input events (xdotool), and judged
// by what the sink's monitor recorded.  Nothing of the program is faked.
//
// Every step waits for what it should cause, with generous bounds, rather
// than sleeping: on a loaded two-core machine the window, the chooser and
// the sound server may each take seconds to react.
#include "sona_test_util.h"
#include "pulse_harness.h"

#include <X11/Xlib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using pulse_harness::Child;
using pulse_harness::NullSink;
using Clock = std::chrono::steady_clock;

constexpr unsigned kRateHz = 44100;
constexpr double kToneHz = 1000, kAmplitude = 0.5;
const double kFullRms = kAmplitude / std::sqrt(2.0);
// What one step may take to show, on a loaded machine.
constexpr auto kBound = 30s;
constexpr size_t kWindowFrames = kRateHz / 4;

// Where the controls are, in pixels at 96 DPI: the window places them in
// twips, 15 to a pixel (ui/Form1.cpp).  Each is the centre of its control.
struct Spot {
    int x, y;
};
constexpr Spot twips_centre(int left, int top, int width, int height)
{
    return {(left + width / 2) / 15, (top + height / 2) / 15};
}
constexpr Spot kPlay = twips_centre(240, 120, 1695, 375);
constexpr Spot kStop = twips_centre(2040, 120, 1575, 375);
constexpr Spot kBalance = twips_centre(240, 2040, 1095, 375);
constexpr Spot kBoxX = twips_centre(360, 2760, 495, 285);
constexpr Spot kBoxY = twips_centre(1320, 2760, 495, 285);
// The slider's right end: a click there focuses it (and pages it up).
constexpr Spot kSliderEnd = {(240 + 4815) / 15 - 4, (1200 + 495 / 2) / 15};

std::string levels_text(const std::array<double, 6> &levels)
{
    static const char *names[] = {"FL", "FR", "FC", "LFE", "RL", "RR"};
    std::ostringstream text;
    for (int ch = 0; ch < 6; ++ch)
        text << names[ch] << ' ' << sona_test::decibels(levels[ch] / kFullRms) << " dB  ";
    return text.str();
}

class InstalledProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string out, error;
        prefix_ = dir_.file("prefix");
        ASSERT_EQ(pulse_harness::run_command({QUADRANT_CMAKE, "--install", QUADRANT_BUILD_DIR,
                                              "--prefix", prefix_},
                                             {}, out, 120s),
                  0)
            << out;

        sink_ = {"surround", pulse_harness::surround_map()};
        ASSERT_TRUE(server_.start({sink_}, error)) << error;
        ASSERT_TRUE(server_.set_default_sink(sink_.name, error)) << error;
        ASSERT_TRUE(recorder_.start(server_, sink_, kRateHz, error)) << error;

        // -displayfd: Xvfb picks a free display and writes its number.
        ASSERT_TRUE(xvfb_.start({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                                 "-dpi", "96", "-nolisten", "tcp"},
                                {}, true, dir_.file("xvfb.log"), error))
            << error;
        std::string number;
        pollfd readable{xvfb_.stdout_fd(), POLLIN, 0};
        const auto deadline = Clock::now() + kBound;
        while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
            if (poll(&readable, 1, 100) <= 0)
                continue;
            char c;
            if (read(xvfb_.stdout_fd(), &c, 1) != 1)
                break;
            number += c;
        }
        ASSERT_NE(number.find('\n'), std::string::npos) << "Xvfb gave no display";
        display_ = ":" + number.substr(0, number.find('\n'));
    }

    std::string program_log() const
    {
        const std::vector<uint8_t> bytes = sona_test::read_file(dir_.file("quadrant.log"));
        return std::string(bytes.begin(), bytes.end());
    }

    std::vector<std::string> program_env() const
    {
        std::vector<std::string> env = server_.client_env();
        env.insert(env.end(), {"DISPLAY=" + display_, "QT_QPA_PLATFORM=xcb",
                               "SDL_AUDIODRIVER=pulseaudio", "HOME=" + dir_.path(),
                               "XDG_CONFIG_HOME=" + dir_.file("config"),
                               "XDG_RUNTIME_DIR=" + dir_.path()});
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // The sanitizers intercept dlopen, and glibc then searches the
        // RUNPATH of their runtime rather than the program's own.
        // The normal build proves the RUNPATH; here the path is given.
        env.push_back("LD_LIBRARY_PATH=" + prefix_ + "/" QUADRANT_INSTALL_LIBDIR);
#else
        env.push_back("LD_LIBRARY_PATH=");
#endif
        return env;
    }

    // xdotool with its output; a failure names the command.
    std::string xdo(const std::vector<std::string> &args, bool must_succeed = true)
    {
        std::vector<std::string> argv = {"xdotool"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        const int status =
            pulse_harness::run_command(argv, {"DISPLAY=" + display_}, out, 20s);
        if (must_succeed && status != 0) {
            std::string line;
            for (const std::string &a : argv)
                line += a + ' ';
            ADD_FAILURE() << line << "-> " << status << ": " << out;
        }
        return out;
    }

    std::vector<std::string> visible_windows()
    {
        std::istringstream ids(
            xdo({"search", "--onlyvisible", "--pid", std::to_string(pid_)}, false));
        std::vector<std::string> out;
        for (std::string id; ids >> id;)
            out.push_back(id);
        return out;
    }
    // Waits for a visible window of the program other than `except`.
    std::string wait_for_window(const std::string &except)
    {
        const auto deadline = Clock::now() + kBound;
        while (Clock::now() < deadline) {
            for (const std::string &id : visible_windows())
                if (id != except)
                    return id;
            std::this_thread::sleep_for(100ms);
        }
        return "";
    }

    bool window_visible(const std::string &id)
    {
        for (const std::string &w : visible_windows())
            if (w == id)
                return true;
        return false;
    }

    void click(const Spot &at)
    {
        xdo({"windowfocus", "--sync", window_});
        xdo({"mousemove", "--window", window_, std::to_string(at.x), std::to_string(at.y),
             "click", "1"});
    }

    void type_into(const Spot &box, const std::string &text)
    {
        click(box);
        xdo({"key", "--window", window_, "ctrl+a"});
        xdo({"type", "--window", window_, "--delay", "30", text});
    }

    // RMS of each speaker over the newest quarter second.
    std::array<double, 6> newest_levels()
    {
        std::array<double, 6> levels{};
        const size_t frames = recorder_.frames();
        if (frames < kWindowFrames)
            return levels;
        const std::vector<float> block = recorder_.copy(frames - kWindowFrames, kWindowFrames);
        for (int ch = 0; ch < 6; ++ch)
            levels[ch] = sona_test::rms(sona_test::channel(block, 6, ch));
        return levels;
    }

    // Waits until the newest quarter second satisfies `heard`, giving the
    // levels it last saw either way.
    template <class Pred> bool wait_until_heard(Pred heard, std::array<double, 6> *levels)
    {
        const auto deadline = Clock::now() + kBound;
        while (Clock::now() < deadline) {
            const size_t next = recorder_.frames() + kWindowFrames / 2;
            recorder_.wait_for_frames(next, 2s);
            *levels = newest_levels();
            if (heard(*levels))
                return true;
        }
        return false;
    }

    // The tone on `speaker` alone at `expected_rms`, within about 1.5 dB;
    // every other speaker at least 40 dB below it.
    void expect_heard_on(int speaker, double expected_rms, const char *what)
    {
        std::array<double, 6> levels{};
        const bool heard = wait_until_heard(
            [&](const std::array<double, 6> &l) {
                if (std::fabs(sona_test::decibels(l[speaker] / expected_rms)) > 1.5)
                    return false;
                for (int ch = 0; ch < 6; ++ch)
                    if (ch != speaker && l[ch] > expected_rms * 0.01)
                        return false;
                return true;
            },
            &levels);
        EXPECT_TRUE(heard) << what << ": expected speaker " << speaker << " at "
                           << sona_test::decibels(expected_rms / kFullRms) << " dB, heard "
                           << levels_text(levels);
    }

    void balance(int x, int y, int speaker, double expected_rms)
    {
        type_into(kBoxX, std::to_string(x));
        type_into(kBoxY, std::to_string(y));
        click(kBalance);
        const std::string what = "Balance at (" + std::to_string(x) + ", " + std::to_string(y) + ")";
        expect_heard_on(speaker, expected_rms, what.c_str());
    }

    // The window's close button, as a window manager reports it.
    void close_window()
    {
        Display *d = XOpenDisplay(display_.c_str());
        ASSERT_NE(d, nullptr);
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = Window(std::stoul(window_));
        event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(d, event.xclient.window, False, NoEventMask, &event);
        XCloseDisplay(d);
    }

    sona_test::TempDir dir_;
    std::string prefix_;
    NullSink sink_;
    pulse_harness::Server server_;
    pulse_harness::MonitorRecorder recorder_;
    Child xvfb_;
    std::string display_;
    Child program_;
    int pid_ = 0;
    std::string window_;
};

TEST_F(InstalledProgram, RoutesFollowsTheSliderFallsSilentOnStopAndExitsCleanly)
{
    // Long enough to outlast every step below on a slow machine.
    sona_test::Tone tone = sona_test::stereo_tone(kToneHz, 600, "-c:a flac");
    tone.amplitude = kAmplitude;
    const std::string file = sona_test::make_tone(dir_, "tone.flac", tone);
    ASSERT_FALSE(file.empty());

    std::string error;
    ASSERT_TRUE(program_.start({prefix_ + "/bin/quadrant"}, program_env(), false,
                               dir_.file("quadrant.log"), error))
        << error;
    // The pid comes from the window itself: Child keeps its own private.
    const auto deadline = Clock::now() + kBound;
    while (window_.empty() && Clock::now() < deadline) {
        // By its class, which is the program's name: the title is the
        // window's own business.
        const std::string found =
            xdo({"search", "--onlyvisible", "--classname", "^quadrant$"}, false);
        window_ = found.substr(0, found.find('\n'));
        if (window_.empty())
            std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(window_.empty()) << "no window of quadrant appeared; the program said:\n"
                                  << program_log();
    const std::string pid = xdo({"getwindowpid", window_});
    pid_ = std::atoi(pid.c_str());
    ASSERT_GT(pid_, 0);

    // The slider to 100 first, so the tone is heard at unity.
    click(kSliderEnd);
    xdo({"key", "--window", window_, "End"});

    // Play, answering Qt's own chooser by typing the path.
    click(kPlay);
    const std::string chooser = wait_for_window(window_);
    ASSERT_FALSE(chooser.empty()) << "the file chooser did not open";
    xdo({"windowfocus", "--sync", chooser});
    xdo({"type", "--delay", "20", file});
    for (int tries = 0; tries < 10 && window_visible(chooser); ++tries) {
        // A completion list may take the first Return.
        xdo({"key", "Return"});
        for (int i = 0; i < 20 && window_visible(chooser); ++i)
            std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(window_visible(chooser)) << "the chooser did not take the typed path";

    std::array<double, 6> levels{};
    EXPECT_TRUE(wait_until_heard(
        [](const std::array<double, 6> &l) {
            return std::fabs(sona_test::decibels(l[0] / kFullRms)) < 1.5 &&
                   std::fabs(sona_test::decibels(l[1] / kFullRms)) < 1.5 && l[2] < 0.01 * kFullRms &&
                   l[4] < 0.01 * kFullRms && l[5] < 0.01 * kFullRms;
        },
        &levels))
        << "Play: expected the stereo tone on the front pair at unity, heard "
        << levels_text(levels);

    // Each quadrant of the plane, and its centre (playback/Module1.cpp).
    balance(100, 100, sona::kRL, kFullRms);
    balance(700, 500, sona::kFR, kFullRms);
    balance(400, 300, sona::kFC, kFullRms);
    balance(100, 500, sona::kFL, kFullRms);
    balance(700, 100, sona::kRR, kFullRms);

    // The level follows the slider: gain (v/100)^3.
    click(kSliderEnd);
    xdo({"key", "--window", window_, "Home"});
    for (int i = 0; i < 10; ++i) // 10 pages of 5: 50
        xdo({"key", "--window", window_, "Page_Up"});
    expect_heard_on(sona::kRR, kFullRms * 0.125, "Slider at 50");
    xdo({"key", "--window", window_, "Page_Up", "Page_Up", "Page_Up", "Page_Up", "Page_Up"});
    expect_heard_on(sona::kRR, kFullRms * 0.421875, "Slider at 75");

    // Stop releases the output: silence on every speaker.
    click(kStop);
    EXPECT_TRUE(wait_until_heard(
        [](const std::array<double, 6> &l) {
            for (double level : l)
                if (level > 1e-4)
                    return false;
            return true;
        },
        &levels))
        << "Stop: expected silence, heard " << levels_text(levels);

    close_window();
    EXPECT_EQ(program_.wait(60s), 0) << "quadrant did not exit with status 0 after closing:\n"
                                     << program_log();
}

} // namespace
