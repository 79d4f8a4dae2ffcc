// Device 0: no sound, but the mix runs in real time.  A clock of the
// library's own, a thread like a device's, pulls a period of the mix each
// period and drops it, so streams advance, end and restart exactly as if
// heard.
#include "output/driver.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace sona {

namespace {

/* A period: about a device's, and few wake-ups. */
constexpr uint32_t kPeriodMs = 20;
/* A clock that fell this far behind (suspended, starved) starts afresh
   rather than rushing to catch up. */
constexpr auto kGiveUp = std::chrono::seconds(1);

class SilentDriver : public Driver {
public:
    SilentDriver(Mixer *m, int wake_fd)
        : mixer_(m), wake_fd_(wake_fd), frames_(mixer_rate_hz(m) * kPeriodMs / 1000),
          period_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(double(frames_) / mixer_rate_hz(m)))),
          buffer_(new (std::nothrow) float[size_t(frames_) * mixer_out_channels(m)])
    {
    }
    ~SilentDriver() override { close(); }

    Opened open(int32_t) override
    {
        if (!buffer_)
            return Opened::kNoLibrary;
        quit_ = running_ = false;
        clock_ = std::thread(&SilentDriver::tick, this);
        return Opened::kYes;
    }

    void close() override
    {
        if (!clock_.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        changed_.notify_one();
        clock_.join();
    }

    void run(bool running) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = running;
        }
        changed_.notify_one();
    }

    bool lost() override { return false; }
    bool answers(int32_t) override { return true; }
    /* The clock runs on its own thread: there is nothing to serve. */
    void wait(Milliseconds timeout) override { wait_for_wake(wake_fd_, timeout); }

private:
    using Clock = std::chrono::steady_clock;

    /* The clock's thread: a period of the mix each period while running. */
    void tick()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        Clock::time_point next = Clock::now();
        while (!quit_) {
            if (!running_) {
                changed_.wait(lock, [this] { return quit_ || running_; });
                next = Clock::now();
                continue;
            }
            if (changed_.wait_until(lock, next, [this] { return quit_ || !running_; }))
                continue;
            lock.unlock();
            mixer_render(mixer_, buffer_.get(), frames_);
            lock.lock();
            next += period_;
            if (Clock::now() - next > kGiveUp)
                next = Clock::now();
        }
    }

    Mixer *mixer_;
    int wake_fd_;
    uint32_t frames_;
    Clock::duration period_;
    std::unique_ptr<float[]> buffer_;
    std::thread clock_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = false; /* guarded by mutex_, as is quit_ */
    bool quit_ = false;
};

} // namespace

std::unique_ptr<Driver> make_silent_driver(const DriverContext &context)
{
    return std::make_unique<SilentDriver>(context.mixer, context.wake_fd);
}

} // namespace sona
