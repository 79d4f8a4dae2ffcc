// A private PulseAudio server with null sinks, and a recorder of a sink's
// monitor, for tests that need sound to go through a real sound server.
//
// The server runs in its own temporary runtime directory and is reached
// only through its own socket, so it never meets a desktop's server.  Its
// children die with the test process (PR_SET_PDEATHSIG), so a crashed test
// leaves no server behind; a failed assertion runs the destructors anyway.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pulse_harness {

// A child process whose stdout may be read through a pipe.  The child is
// killed and reaped by the destructor.
class Child {
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child();

    // Starts argv[0] (looked up in PATH) with the given environment added
    // to the test's own.  With capture_stdout the child's stdout is a pipe
    // read through stdout_fd(); its stderr always goes to stderr_path.
    bool start(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env,
               bool capture_stdout, const std::string &stderr_path, std::string &error);
    // Sends SIGTERM, then SIGKILL if it has not gone within the bound.
    void stop();
    // Sends SIGKILL and reaps it: a crash, with no goodbye to its clients.
    void kill_now();
    bool running();
    // Waits (bounded) for the child to end and returns its exit status, or
    // -1 when it did not end in time or was killed.
    int wait(std::chrono::milliseconds bound);
    int stdout_fd() const { return stdout_fd_; }

private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
};

// Runs a short command to its end (bounded), returning its exit status or
// -1.  Its output goes to `output`.
int run_command(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env,
                std::string &output, std::chrono::milliseconds bound);

struct NullSink {
    std::string name;
    std::vector<std::string> channel_map; // PulseAudio names, in order
};

// The 5.1 layout in the order the library mixes in.
std::vector<std::string> surround_map();
std::vector<std::string> stereo_map();

class Server {
public:
    Server() = default;
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    ~Server();

    // Starts the server with the sinks given and waits (bounded) until its
    // socket answers.  On failure `error` says why and the log is in it.
    bool start(const std::vector<NullSink> &sinks, std::string &error);
    bool set_default_sink(const std::string &name, std::string &error);
    void stop();
    // A crash of the server, and a new server on the same socket with the
    // same sinks, as a desktop's session manager would start.
    void crash();
    bool restart(std::string &error);

    // Points this process's PulseAudio clients (libpulse inside SDL) at
    // the server, and nowhere else.
    void export_to_this_process() const;
    // The same variables, for child processes.
    std::vector<std::string> client_env() const;
    const std::string &dir() const { return dir_; }
    std::string log() const;

private:
    bool launch(std::string &error);

    std::string dir_;
    std::vector<NullSink> sinks_;
    Child daemon_;
};

// Records a sink's monitor as interleaved float32 in a background thread.
class MonitorRecorder {
public:
    MonitorRecorder() = default;
    MonitorRecorder(const MonitorRecorder &) = delete;
    MonitorRecorder &operator=(const MonitorRecorder &) = delete;
    ~MonitorRecorder();

    bool start(const Server &server, const NullSink &sink, unsigned rate_hz, std::string &error);
    void stop();

    unsigned channels() const { return channels_; }
    // Frames recorded so far.
    std::size_t frames() const;
    // Waits until a block of `block_frames` at or after `from_frame` has an
    // RMS above `threshold` on any channel; returns that block's first frame
    // or -1 when `bound` passes first.  The sink may stall for a while
    // before it plays, so callers wait rather than sleep.
    long wait_for_sound(std::size_t from_frame, float threshold, std::size_t block_frames,
                        std::chrono::milliseconds bound);
    // Waits until at least `frame_count` frames exist; false on timeout.
    bool wait_for_frames(std::size_t frame_count, std::chrono::milliseconds bound);
    // A copy of frames [first, first + count).
    std::vector<float> copy(std::size_t first, std::size_t count) const;

private:
    void read_loop();

    Child parec_;
    unsigned channels_ = 0;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<float> samples_;
};

} // namespace pulse_harness
