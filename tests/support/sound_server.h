// A private sound server with null sinks, and a recorder of a sink's
// monitor, for tests whose sound must go through a real server.  Each
// server lives in a scratch directory of its own and is reached only
// through its own socket, so it never meets a desktop's server; its
// processes die with the test (PR_SET_PDEATHSIG), even one that crashed.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sound {

/* Runs a shell command, its output in `output`; true when it succeeded. */
bool capture(const std::string &command, std::string *output);

/* A child process, for the tests and the benchmarks alike: argv run with
   `env` (NAME=value entries) over this process's environment, its output
   appended to `log`, its input nothing or, with Input::Pipe, what send()
   writes.  It and its own children are killed with it. */
class Child {
public:
    enum class Input { None, Pipe };
    Child(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &log,
          Input input = Input::None);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    /* The exit status, or -1 when it did not end within `bound`. */
    int wait(std::chrono::seconds bound);
    pid_t pid() const { return pid_; }
    /* False when the child does not read what is sent. */
    bool send(const std::string &text);

private:
    pid_t pid_ = -1;
    int input_ = -1;
};

enum class Kind { PulseAudio, PipeWire };

/* A null sink: 6 channels are 5.1 in the mix's order, 2 are stereo. */
struct Sink {
    std::string name;
    int channels;
};

class Server {
public:
    /* Starts the server with `sinks`, the first of them the default;
       PipeWire's graph runs at `graph_rate_hz`. */
    Server(Kind kind, std::vector<Sink> sinks, int graph_rate_hz = 44100);
    ~Server();
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    /* NAME=value entries that point a client here and nowhere else. */
    std::vector<std::string> env() const;
    void use_in_this_process() const;
    /* pactl, or any client `command`, against this server; false, with
       why in error(), on failure. */
    bool pactl(const std::string &args, std::string *output = nullptr);
    bool tool(const std::string &command, std::string *output = nullptr);
    std::string log() const;
    std::string dir() const { return dir_; }
    /* Its processes, to stop and let go on (SIGSTOP, SIGCONT). */
    std::vector<pid_t> pids() const;
    /* Dies with no goodbye to its clients; restart() brings a new one up
       on the same socket with the same sinks, as a session manager would. */
    void crash() { processes_.clear(); }
    bool restart();

private:
    bool launch();
    bool start(const std::vector<std::string> &argv, const std::string &ready_file);

    Kind kind_;
    std::vector<Sink> sinks_;
    int graph_rate_hz_;
    std::string dir_, error_;
    std::vector<std::unique_ptr<Child>> processes_;
};

/* Records a sink's monitor as interleaved float32 at 44.1 kHz, from the
   moment it is made, to a file of the server's. */
class Recorder {
public:
    Recorder(const Server &server, const Sink &sink);
    /* True once the first samples are in, within 10 s. */
    bool ok() const;
    size_t frames() const;
    std::vector<float> copy(size_t first, size_t count) const;
    /* Waits until the newest tenth of a second has each channel at its
       `expected` share of a half-scale sine within half a decibel, 0
       meaning 60 dB below it.  False when it never does within 15 s, with
       the levels heard last in `heard`, in decibels of that sine. */
    bool wait_for_levels(const std::vector<double> &expected, std::string *heard) const;
    /* How long after frame `from` the first 5 ms block of channel `ch`
       comes whose RMS `wanted` takes, in ms, waiting up to 5 s for it;
       1e9 when none does. */
    double first_block_ms(size_t from, const std::function<bool(double rms)> &wanted, int ch = 0) const;
    void expect_heard(const std::vector<double> &expected, const std::string &what) const
    {
        std::string heard;
        if (!wait_for_levels(expected, &heard))
            ADD_FAILURE() << what << ": heard " << heard << "\n" << server_.log();
    }

private:
    const Server &server_;
    const int channels_;
    const std::string path_;
    Child parec_;
};

} // namespace sound
