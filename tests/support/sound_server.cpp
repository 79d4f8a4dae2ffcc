#include "sound_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string_view>

extern char **environ;

namespace sound {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::string channel_map(int channels)
{
    return channels == 6 ? "front-left,front-right,front-center,lfe,rear-left,rear-right"
                         : "front-left,front-right";
}

std::string null_sink(const Sink &s)
{
    return "module-null-sink sink_name=" + s.name + " channels=" + std::to_string(s.channels) +
           " channel_map=" + channel_map(s.channels);
}

std::string fresh(const std::string &path)
{
    fs::remove(path);
    return path;
}

std::string text_of(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/* Debian's PipeWire configuration with a graph at `rate`, without the
   larger cycle it sets on virtual machines (which these are), so that the
   servers behave as on a desktop, and without the auto_null sink of two
   channels that would catch streams whenever ours are missing, as at start
   and on restart, and downmix them. */
std::string desktop_like(std::string conf, const std::string &rate)
{
    const std::pair<const char *, std::string> edits[] = {
        {R"(#default\.clock\.rate .*)", "default.clock.rate = " + rate},
        {R"(#default\.clock\.allowed-rates .*)", "default.clock.allowed-rates = [ " + rate + " ]"},
        {R"(vm\.overrides = \{[^}]*\}|\{ cmd = "load-module" args = "module-always-sink"[^}]*\})", ""}};
    for (const auto &[pattern, replacement] : edits)
        conf = std::regex_replace(conf, std::regex(pattern), replacement);
    return conf;
}

} // namespace

bool capture(const std::string &command, std::string *output)
{
    output->clear();
    FILE *p = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t got; p && (got = fread(buf, 1, sizeof buf, p)) > 0;)
        output->append(buf, got);
    return p && pclose(p) == 0;
}

Child::Child(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &log,
             Input input)
{
    // Built before fork: only async-signal-safe calls may follow it in a
    // process with threads.  An entry of `env` replaces the inherited one
    // of its name: getenv takes the first of a name, the loader the last.
    std::vector<char *> args, envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    for (char **e = environ; *e; ++e) {
        const std::string_view inherited(*e);
        const auto same_name = [&](const std::string &set) {
            return inherited.starts_with(set.substr(0, set.find('=')) + "=");
        };
        if (std::none_of(env.begin(), env.end(), same_name))
            envp.push_back(*e);
    }
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int in[2] = {-1, -1};
    if (input == Input::None)
        in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    else if (pipe2(in, O_CLOEXEC) != 0)
        in[0] = in[1] = -1;
    const pid_t parent = getpid();
    if ((pid_ = fork()) == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        setpgid(0, 0); /* its own children go with it */
        dup2(in[0], STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    ::close(out);
    ::close(in[0]);
    input_ = in[1];
}

bool Child::send(const std::string &text)
{
    return input_ >= 0 && ::write(input_, text.data(), text.size()) == ssize_t(text.size());
}

Child::~Child()
{
    if (input_ >= 0)
        ::close(input_);
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int Child::wait(std::chrono::seconds bound)
{
    int status = 0;
    for (const auto until = Clock::now() + bound; pid_ > 0 && Clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            return pid_ = -1, WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return -1;
}

Server::Server(Kind kind, std::vector<Sink> sinks, int graph_rate_hz)
    : kind_(kind), sinks_(std::move(sinks)), graph_rate_hz_(graph_rate_hz)
{
    std::string pattern = "/tmp/sona-server-XXXXXX";
    dir_ = ::mkdtemp(pattern.data()) ? pattern : "";
    fs::create_directories(dir_ + "/pulse");
    launch();
}

Server::~Server()
{
    crash();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

std::vector<std::string> Server::env() const
{
    // HOME and the runtime paths keep every cookie and state file, the
    // server's and its clients', inside the scratch directory.
    return {"PULSE_SERVER=unix:" + dir_ + "/pulse/native", "PULSE_RUNTIME_PATH=" + dir_ + "/pulse",
            "XDG_RUNTIME_DIR=" + dir_, "PIPEWIRE_RUNTIME_DIR=" + dir_, "PIPEWIRE_REMOTE=pipewire-0",
            "PIPEWIRE_CONFIG_DIR=" + dir_,
            "HOME=" + dir_, "DISABLE_RTKIT=1", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ + "/bus"};
}

void Server::use_in_this_process() const
{
    for (const std::string &entry : env())
        setenv(entry.substr(0, entry.find('=')).c_str(), entry.substr(entry.find('=') + 1).c_str(), 1);
}

bool Server::pactl(const std::string &args, std::string *output)
{
    return tool("pactl " + args, output);
}

bool Server::tool(const std::string &command, std::string *output)
{
    std::string cmd = "env", out;
    for (const std::string &entry : env())
        cmd += " " + entry;
    const bool ok = capture(cmd + " " + command + " 2>&1", &out);
    if (!ok)
        error_ = command + ": " + out + "\n" + log();
    if (output)
        *output = out;
    return ok;
}

std::vector<pid_t> Server::pids() const
{
    std::vector<pid_t> pids;
    for (const auto &process : processes_)
        pids.push_back(process->pid());
    return pids;
}

std::string Server::log() const
{
    return text_of(dir_ + "/server.log");
}

bool Server::restart()
{
    // A dead server's sockets stay behind; a new one takes the path only
    // once they are gone.
    for (const char *socket : {"/pulse/native", "/pipewire-0", "/bus"})
        fs::remove(dir_ + socket);
    return launch();
}

/* Starts a process of the server and waits for the file it makes when it
   is ready to serve. */
bool Server::start(const std::vector<std::string> &argv, const std::string &ready_file)
{
    processes_.push_back(std::make_unique<Child>(argv, env(), dir_ + "/server.log"));
    for (const auto until = Clock::now() + std::chrono::seconds(20);
         Clock::now() < until && processes_.back()->running();
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (ready_file.empty() || fs::exists(dir_ + "/" + ready_file))
            return true;
    error_ = argv[0] + " did not start:\n" + log();
    return false;
}

bool Server::launch()
{
    error_.clear();
    if (kind_ == Kind::PulseAudio) {
        std::vector<std::string> argv = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                         "--disallow-exit", "--use-pid-file=no", "--log-target=stderr",
                                         "--load=module-native-protocol-unix auth-anonymous=1 socket=" +
                                             dir_ + "/pulse/native"};
        for (const Sink &s : sinks_)
            argv.push_back("--load=" + null_sink(s));
        if (!start(argv, "pulse/native"))
            return false;
    } else {
        for (const auto &file : fs::directory_iterator("/usr/share/pipewire"))
            if (file.path().extension() == ".conf")
                std::ofstream(dir_ + "/" + file.path().filename().string())
                    << desktop_like(text_of(file.path()), std::to_string(graph_rate_hz_));
        const std::string bus = "--address=unix:path=" + dir_ + "/bus";
        if (!start({"dbus-daemon", "--session", "--nofork", "--nopidfile", bus}, "bus") ||
            !start({"pipewire"}, "pipewire-0") || !start({"wireplumber"}, "") ||
            !start({"pipewire-pulse"}, "pulse/native"))
            return false;
        for (const Sink &s : sinks_)
            if (!pactl("load-module " + null_sink(s)))
                return false;
    }
    // The socket comes before the modules: once the default sink can be
    // set, every sink is there.
    for (const auto until = Clock::now() + std::chrono::seconds(20); Clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (pactl("set-default-sink " + sinks_.front().name))
            return error_.clear(), true;
    return false;
}

/* The recorder's fragment shapes the server: on PipeWire a smaller one
   shrinks the graph's cycle and brings dropouts; 25 ms does neither.
   Without the map the server takes its own idea of the channel count's
   layout, and the speakers come out shuffled. */
Recorder::Recorder(const Server &server, const Sink &sink)
    : server_(server), channels_(sink.channels), path_(fresh(server.dir() + "/" + sink.name + ".f32")),
      parec_({"parec", "--raw", "--format=float32le", "--rate=44100", "--latency-msec=25",
              "--channels=" + std::to_string(channels_), "--channel-map=" + channel_map(channels_),
              "--device=" + sink.name + ".monitor"},
             server.env(), path_)
{
}

bool Recorder::ok() const
{
    for (const auto until = Clock::now() + std::chrono::seconds(10); Clock::now() < until && frames() == 0;)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return frames() > 0;
}

size_t Recorder::frames() const
{
    std::error_code missing;
    const uintmax_t bytes = fs::file_size(path_, missing);
    return missing ? 0 : size_t(bytes) / sizeof(float) / size_t(channels_);
}

std::vector<float> Recorder::copy(size_t first, size_t count) const
{
    const size_t have = frames();
    std::vector<float> out(std::min(count, have - std::min(have, first)) * channels_);
    std::ifstream(path_, std::ios::binary).seekg(long(first * channels_ * sizeof(float))).read(
        reinterpret_cast<char *>(out.data()), long(out.size() * sizeof(float)));
    return out;
}

bool Recorder::wait_for_levels(const std::vector<double> &expected, std::string *heard) const
{
    constexpr size_t kWindow = 4410;
    constexpr double kReference = 0.5 / M_SQRT2; /* a half-scale sine's RMS */
    std::vector<double> level(size_t(channels_), 0.0);
    for (const auto until = Clock::now() + std::chrono::seconds(15); Clock::now() < until;) {
        // The next window wholly after this moment.
        const size_t from = frames() + kWindow / 2;
        while (frames() < from + kWindow && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::vector<float> block = copy(from, kWindow);
        std::fill(level.begin(), level.end(), 0.0);
        for (size_t i = 0; i < block.size(); ++i)
            level[i % channels_] += double(block[i]) * block[i] / kWindow;
        bool all = expected.size() == level.size();
        for (size_t c = 0; c < level.size(); ++c) {
            level[c] = 20 * std::log10(std::sqrt(level[c]) / kReference + 1e-12);
            all = all && (expected[c] == 0 ? level[c] < -60 : std::fabs(level[c] - 20 * std::log10(expected[c])) < 0.5);
        }
        if (all)
            return true;
    }
    heard->clear();
    for (double db : level)
        *heard += std::to_string(int(std::lround(db))) + " dB  ";
    return false;
}

double Recorder::first_block_ms(size_t from, const std::function<bool(double)> &wanted, int ch) const
{
    constexpr size_t kBlock = 44100 / 200;
    for (const auto until = Clock::now() + std::chrono::seconds(5); Clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        const std::vector<float> got = copy(from, SIZE_MAX);
        for (size_t at = 0; (at + kBlock) * size_t(channels_) <= got.size(); at += kBlock) {
            double sum = 0;
            for (size_t i = at; i < at + kBlock; ++i)
                sum += double(got[i * channels_ + ch]) * got[i * channels_ + ch];
            if (wanted(std::sqrt(sum / kBlock)))
                return 1000.0 * double(at) / 44100;
        }
    }
    return 1e9;
}

} // namespace sound
