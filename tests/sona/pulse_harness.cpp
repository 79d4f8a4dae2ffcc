#include "pulse_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace pulse_harness {
namespace {

using Clock = std::chrono::steady_clock;

std::string join(const std::vector<std::string> &parts, const char *separator)
{
    std::string joined;
    for (const std::string &part : parts) {
        if (!joined.empty())
            joined += separator;
        joined += part;
    }
    return joined;
}

// The environment of the test with `extra` entries replacing any of the
// same name.
std::vector<std::string> merged_environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> merged;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string current = *entry;
        const std::string name = current.substr(0, current.find('='));
        bool replaced = false;
        for (const std::string &added : extra)
            if (added.compare(0, name.size() + 1, name + "=") == 0)
                replaced = true;
        if (!replaced)
            merged.push_back(current);
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

bool wait_for_exit(pid_t pid, std::chrono::milliseconds bound, int *status)
{
    const auto deadline = Clock::now() + bound;
    for (;;) {
        const pid_t reaped = waitpid(pid, status, WNOHANG);
        if (reaped == pid || (reaped < 0 && errno != EINTR))
            return true;
        if (Clock::now() >= deadline)
            return false;
        // Nothing tells a parent of a child's end without a signal handler
        // of its own, which a test must not install; poll briefly instead.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

Child::~Child()
{
    stop();
}

bool Child::start(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env,
                  bool capture_stdout, const std::string &stderr_path, std::string &error)
{
    // Everything the child needs is built before fork: after it, only
    // async-signal-safe calls may run in a threaded process.
    std::vector<std::string> environment = merged_environment(extra_env);
    std::vector<char *> child_argv;
    for (const std::string &argument : argv)
        child_argv.push_back(const_cast<char *>(argument.c_str()));
    child_argv.push_back(nullptr);
    std::vector<char *> child_env;
    for (const std::string &entry : environment)
        child_env.push_back(const_cast<char *>(entry.c_str()));
    child_env.push_back(nullptr);

    const int stderr_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (stderr_fd < 0) {
        error = "cannot open " + stderr_path + ": " + std::strerror(errno);
        return false;
    }
    int out_pipe[2] = {-1, -1};
    if (capture_stdout && pipe2(out_pipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        close(stderr_fd);
        return false;
    }
    // Tells the parent whether exec failed: it closes on a good exec.
    int exec_pipe[2];
    if (pipe2(exec_pipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        close(stderr_fd);
        return false;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        close(stderr_fd);
        close(exec_pipe[0]);
        close(exec_pipe[1]);
        return false;
    }
    if (pid == 0) {
        // A test that crashes must not leave a sound server running.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        if (capture_stdout)
            dup2(out_pipe[1], STDOUT_FILENO);
        else {
            const int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, STDOUT_FILENO);
        }
        dup2(stderr_fd, STDERR_FILENO);
        const int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, STDIN_FILENO);
        execvpe(child_argv[0], child_argv.data(), child_env.data());
        const int failure = errno;
        (void)!write(exec_pipe[1], &failure, sizeof failure);
        _exit(127);
    }
    close(stderr_fd);
    close(exec_pipe[1]);
    if (capture_stdout)
        close(out_pipe[1]);
    int exec_errno = 0;
    ssize_t got;
    do
        got = read(exec_pipe[0], &exec_errno, sizeof exec_errno);
    while (got < 0 && errno == EINTR);
    close(exec_pipe[0]);
    pid_ = pid;
    if (got == static_cast<ssize_t>(sizeof exec_errno)) {
        error = "cannot run " + argv[0] + ": " + std::strerror(exec_errno);
        if (capture_stdout)
            close(out_pipe[0]);
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return false;
    }
    stdout_fd_ = capture_stdout ? out_pipe[0] : -1;
    return true;
}

void Child::stop()
{
    if (pid_ > 0) {
        int status;
        kill(pid_, SIGTERM);
        if (!wait_for_exit(pid_, std::chrono::seconds(5), &status)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (stdout_fd_ >= 0) {
        close(stdout_fd_);
        stdout_fd_ = -1;
    }
}

void Child::kill_now()
{
    if (pid_ > 0) {
        int status;
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

bool Child::running()
{
    if (pid_ <= 0)
        return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int Child::wait(std::chrono::milliseconds bound)
{
    int status = 0;
    if (pid_ <= 0 || !wait_for_exit(pid_, bound, &status))
        return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_command(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env,
                std::string &output, std::chrono::milliseconds bound)
{
    Child child;
    std::string error;
    char stderr_path[] = "/tmp/sona-cmd-XXXXXX";
    const int stderr_fd = mkstemp(stderr_path);
    if (stderr_fd < 0)
        return -1;
    close(stderr_fd);
    if (!child.start(argv, extra_env, true, stderr_path, error)) {
        output = error;
        unlink(stderr_path);
        return -1;
    }
    const auto deadline = Clock::now() + bound;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd waiting{child.stdout_fd(), POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        const ssize_t got = read(child.stdout_fd(), buffer, sizeof buffer);
        if (got <= 0)
            break;
        output.append(buffer, static_cast<std::size_t>(got));
    }
    std::ifstream errors(stderr_path);
    output += std::string(std::istreambuf_iterator<char>(errors), {});
    unlink(stderr_path);
    return child.wait(std::max(std::chrono::milliseconds(0),
                               std::chrono::duration_cast<std::chrono::milliseconds>(
                                   deadline - Clock::now())));
}

std::vector<std::string> surround_map()
{
    return {"front-left", "front-right", "front-center", "lfe", "rear-left", "rear-right"};
}

std::vector<std::string> stereo_map()
{
    return {"front-left", "front-right"};
}

Server::~Server()
{
    stop();
}

bool Server::start(const std::vector<NullSink> &sinks, std::string &error)
{
    char pattern[] = "/tmp/sona-pulse-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    dir_ = pattern;
    sinks_ = sinks;
    return launch(error);
}

void Server::crash()
{
    daemon_.kill_now();
}

bool Server::restart(std::string &error)
{
    // The dead server's socket file stays behind; the new one takes over
    // the path only once it is gone.
    unlink((dir_ + "/native").c_str());
    return launch(error);
}

bool Server::launch(std::string &error)
{
    const std::vector<NullSink> &sinks = sinks_;
    std::vector<std::string> argv = {
        "pulseaudio",
        // No default.pa, no desktop modules: only what is loaded below.
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--disallow-exit",
        "--use-pid-file=no",
        "--system=no",
        "--log-target=stderr",
        "--load=module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1",
    };
    for (const NullSink &sink : sinks)
        argv.push_back("--load=module-null-sink sink_name=" + sink.name +
                       " channels=" + std::to_string(sink.channel_map.size()) +
                       " channel_map=" + join(sink.channel_map, ","));
    if (!daemon_.start(argv, client_env(), false, dir_ + "/server.log", error))
        return false;
    // The socket appears before the modules after it are loaded; an
    // answered query means all of them are.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::string output;
    while (Clock::now() < deadline) {
        if (!daemon_.running()) {
            error = "pulseaudio ended at start:\n" + log();
            return false;
        }
        output.clear();
        if (access((dir_ + "/native").c_str(), F_OK) == 0 &&
            run_command({"pactl", "list", "short", "sinks"}, client_env(), output,
                        std::chrono::seconds(5)) == 0) {
            bool all = true;
            for (const NullSink &sink : sinks)
                if (output.find(sink.name) == std::string::npos)
                    all = false;
            if (all)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error = "pulseaudio did not answer within 20 s:\n" + output + "\n" + log();
    return false;
}

bool Server::set_default_sink(const std::string &name, std::string &error)
{
    std::string output;
    if (run_command({"pactl", "set-default-sink", name}, client_env(), output,
                    std::chrono::seconds(5)) != 0) {
        error = "pactl set-default-sink " + name + ": " + output;
        return false;
    }
    return true;
}

void Server::stop()
{
    daemon_.stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
}

std::vector<std::string> Server::client_env() const
{
    // HOME and the runtime paths keep the server's cookie and state, and
    // any client's, inside the temporary directory.
    return {
        "PULSE_SERVER=unix:" + dir_ + "/native",
        "PULSE_RUNTIME_PATH=" + dir_,
        "PULSE_STATE_PATH=" + dir_,
        "PULSE_CONFIG_PATH=" + dir_,
        "XDG_RUNTIME_DIR=" + dir_,
        "HOME=" + dir_,
    };
}

void Server::export_to_this_process() const
{
    for (const std::string &entry : client_env()) {
        const std::size_t equals = entry.find('=');
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
}

std::string Server::log() const
{
    std::ifstream file(dir_ + "/server.log");
    return std::string(std::istreambuf_iterator<char>(file), {});
}

MonitorRecorder::~MonitorRecorder()
{
    stop();
}

bool MonitorRecorder::start(const Server &server, const NullSink &sink, unsigned rate_hz,
                            std::string &error)
{
    channels_ = static_cast<unsigned>(sink.channel_map.size());
    // Without --channel-map the server remaps the monitor to its own idea
    // of the channel count's layout and the speakers come out shuffled.
    const std::vector<std::string> argv = {
        "parec",
        "--device=" + sink.name + ".monitor",
        "--channels=" + std::to_string(channels_),
        "--channel-map=" + join(sink.channel_map, ","),
        "--format=float32le",
        "--rate=" + std::to_string(rate_hz),
        "--latency-msec=20",
        "--raw",
    };
    if (!parec_.start(argv, server.client_env(), true, server.dir() + "/parec.log", error))
        return false;
    stopping_ = false;
    reader_ = std::thread(&MonitorRecorder::read_loop, this);
    return true;
}

void MonitorRecorder::stop()
{
    stopping_ = true;
    if (reader_.joinable())
        reader_.join();
    parec_.stop();
}

void MonitorRecorder::read_loop()
{
    std::vector<char> pending;
    char buffer[16384];
    while (!stopping_) {
        pollfd waiting{parec_.stdout_fd(), POLLIN, 0};
        // The timeout only lets the loop notice `stopping_`.
        const int ready = poll(&waiting, 1, 50);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready <= 0)
            continue;
        const ssize_t got = read(parec_.stdout_fd(), buffer, sizeof buffer);
        if (got <= 0)
            return;
        pending.insert(pending.end(), buffer, buffer + got);
        const std::size_t whole = pending.size() / sizeof(float) * sizeof(float);
        std::vector<float> samples(whole / sizeof(float));
        std::memcpy(samples.data(), pending.data(), whole);
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(whole));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            samples_.insert(samples_.end(), samples.begin(), samples.end());
        }
        arrived_.notify_all();
    }
}

std::size_t MonitorRecorder::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return channels_ == 0 ? 0 : samples_.size() / channels_;
}

bool MonitorRecorder::wait_for_frames(std::size_t frame_count, std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, bound,
                             [&] { return samples_.size() >= frame_count * channels_; });
}

long MonitorRecorder::wait_for_sound(std::size_t from_frame, float threshold,
                                     std::size_t block_frames, std::chrono::milliseconds bound)
{
    const auto deadline = Clock::now() + bound;
    for (std::size_t block = from_frame;; block += block_frames) {
        if (!wait_for_frames(block + block_frames, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                       deadline - Clock::now())))
            return -1;
        const std::vector<float> samples = copy(block, block_frames);
        for (unsigned channel = 0; channel < channels_; ++channel) {
            double sum = 0;
            for (std::size_t frame = 0; frame < block_frames; ++frame) {
                const double value = samples[frame * channels_ + channel];
                sum += value * value;
            }
            if (std::sqrt(sum / static_cast<double>(block_frames)) > threshold)
                return static_cast<long>(block);
        }
    }
}

std::vector<float> MonitorRecorder::copy(std::size_t first, std::size_t count) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t begin = std::min(samples_.size(), first * channels_);
    const std::size_t end = std::min(samples_.size(), (first + count) * channels_);
    return std::vector<float>(samples_.begin() + static_cast<std::ptrdiff_t>(begin),
                              samples_.begin() + static_cast<std::ptrdiff_t>(end));
}

} // namespace pulse_harness
