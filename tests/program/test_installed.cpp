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
    /* prefix/bin/quadrant on this test's server and display, with `args`. */
    std::unique_ptr<sound::Child> start(const std::vector<std::string> &args = {})
    {
        if (prefix_.empty()) {
            prefix_ = dir_.file("prefix");
            EXPECT_EQ(std::system(("cmake --install " QUADRANT_BUILD_DIR " --prefix " + prefix_ + " >/dev/null").c_str()), 0);
        }
        std::vector<std::string> env;
        // The server keeps its clients off the desktop's bus; the program
        // belongs on the caller's, when there is one.
        if (const char *bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            env.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + bus);
        const std::vector<std::string> server_env = server_.env();
        env.insert(env.end(), server_env.begin(), server_env.end());
        env.insert(env.end(), {"QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME=" + dir_.path()});
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // The sanitizers intercept dlopen, and glibc then searches their
        // runtime's RUNPATH, not the program's: the normal build proves that.
        env.push_back("LD_LIBRARY_PATH=" + prefix_ + "/" QUADRANT_INSTALL_LIBDIR);
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
        std::vector<std::string> argv{prefix_ + "/bin/quadrant"};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<sound::Child>(argv, env, dir_.file("quadrant.log"));
    }
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
    std::string prefix_;
    sound::Server server_{sound::Kind::PulseAudio, {{"surround", 6}}};
    sound::Recorder recorder_{server_, {"surround", 6}};
    std::string window_;
};

TEST_F(Installed, PlaysRoutesEachBalanceFollowsTheSliderAndStops)
{
    ASSERT_TRUE(server_.ok()) << server_.error();
    const std::string tone =
        make_tone(dir_, "tone.flac", {{sine(1000), sine(1000)}, "stereo", 120, 44100, "-c:a flac"});
    const std::unique_ptr<sound::Child> started = start();
    sound::Child &program = *started;
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

/* What playerctl says of Quadrant, one line; empty when it cannot. */
std::string playerctl(const std::string &args)
{
    std::string out;
    sound::capture("timeout 10 playerctl -p quadrant " + args + " 2>/dev/null", &out);
    return out.substr(0, out.find('\n'));
}

double ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

/* How long `done` took to hold, polled as fast as it can be asked. */
double ms_until(const std::function<bool()> &done, std::chrono::milliseconds bound = 10s)
{
    const auto start = std::chrono::steady_clock::now();
    while (!done() && ms_since(start) < double(bound.count())) {
    }
    return ms_since(start);
}

// The desktop's controls on the real library, through the private sound
// server and a session bus of the caller's (dbus-run-session): the
// program is started with a file, as a file manager starts it.  Kept out
// of CTest until the library's calls have landed (CMakeLists.txt).
class InstalledDesktop : public Installed {};

TEST_F(InstalledDesktop, MediaControlsAreHeardTheTrackIsTheFilesAndALaterStartHandsOver)
{
    ASSERT_TRUE(server_.ok()) << server_.error();
    ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run under dbus-run-session";
    // 440 Hz for two seconds, then 1000 Hz: the start is told by its pitch.
    const std::string song = dir_.file("song.flac");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i 'aevalsrc=exprs=0.5*sin(2*PI*if(lt(t\\,2)\\,440\\,1000)*t):"
                           "s=44100:d=30:c=stereo' -metadata title='Caf\xc3\xa9 noir' -metadata artist='The Testers' "
                           "-c:a flac '" + song + "'").c_str()), 0);
    const std::string last = make_tone(dir_, "last.flac", {{sine(1000), sine(1000)}, "stereo", 1.5, 44100, "-c:a flac"});
    std::string probed;
    ASSERT_TRUE(sound::capture("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + song + "'", &probed));

    const auto started = std::chrono::steady_clock::now();
    const std::unique_ptr<sound::Child> program = start({song});
    ms_until([] {
        std::string out;
        return sound::capture("playerctl -l 2>/dev/null", &out) && out.find("quadrant") != std::string::npos;
    });
    EXPECT_LT(ms_since(started), 1000) << "playerctl -l listed quadrant late";
    playerctl("volume 1");
    recorder_.expect_heard({1, 1, 0, 0, 0, 0}, "quadrant FILE");
    EXPECT_EQ(playerctl("metadata title"), "Caf\xc3\xa9 noir");
    EXPECT_EQ(playerctl("metadata artist"), "The Testers");
    const std::string length = playerctl("metadata mpris:length");
    EXPECT_NEAR(length.empty() ? -1 : std::stod(length), std::stod(probed) * 1e6, 10000) << "against ffprobe";

    // Past the first two seconds, then play-pause: silent within 100 ms.
    std::this_thread::sleep_for(2500ms);
    size_t at = recorder_.frames();
    playerctl("play-pause");
    /* The first 5 ms block of front left 40 dB below the tone. */
    EXPECT_LT(recorder_.first_block_ms(at, [](double rms) { return rms < 0.5 / M_SQRT2 / 100; }), 100);
    EXPECT_EQ(playerctl("status"), "Paused");

    // Stop and play: Playing within 200 ms, heard from the start (440 Hz).
    playerctl("stop");
    EXPECT_EQ(playerctl("status"), "Stopped");
    at = recorder_.frames();
    playerctl("play");
    const double playing_ms = ms_until([] { return playerctl("status") == "Playing"; });
    EXPECT_LT(playing_ms, 200);
    recorder_.expect_heard({1, 1, 0, 0, 0, 0}, "play after stop");
    std::this_thread::sleep_for(600ms); /* half a second of it, recorded */
    const std::vector<float> again = channel(recorder_.copy(at, SIZE_MAX), 6, 0);
    const auto [first, end] = audible(again);
    ASSERT_GT(end, first + kRate / 2);
    const std::vector<float> heard(again.begin() + long(first) + 2205, again.begin() + long(first) + kRate / 2);
    EXPECT_GT(tone_amplitude(heard, 440), 10 * tone_amplitude(heard, 1000)) << "not heard from the start";

    // A second start from its own directory: hands over, ends within 500 ms.
    // The first file paused, so that the second's end is the last sound.
    playerctl("pause");
    const auto second_start = std::chrono::steady_clock::now();
    std::string out;
    EXPECT_TRUE(sound::capture("cd '" + dir_.path() + "' && timeout 10 env LD_LIBRARY_PATH= " + prefix_ +
                                   "/bin/quadrant last.flac 2>&1",
                               &out))
        << out;
    EXPECT_LT(ms_since(second_start), 500) << "the second start ended late";
    EXPECT_TRUE(program->running()) << "the first window ended";
    EXPECT_EQ(playerctl("metadata xesam:url"), "file://" + last);

    // The end of the last file: Stopped within 200 ms of its last sound.
    const double stopped_ms = ms_until([] { return playerctl("status") == "Stopped"; });
    const size_t stopped_at = recorder_.frames();
    const std::vector<float> tail = channel(recorder_.copy(0, stopped_at), 6, 0);
    const size_t end_of_sound = audible(tail).second;
    EXPECT_LT(stopped_ms, 5000);
    EXPECT_LT(1000.0 * double(stopped_at - end_of_sound) / kRate, 200) << "Stopped late after the last sound";
}

} // namespace
