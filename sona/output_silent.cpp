// Device 0: no sound, but the mix runs in real time.  The keeper's own
// thread pulls a period of the mix each period and drops it, so streams
// advance, end and restart exactly as if heard.
#include "output.h"

#include <new>

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
        : mixer_(m), wake_fd_(wake_fd), frames_(m->rate_hz * kPeriodMs / 1000),
          period_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(double(frames_) / m->rate_hz))),
          buffer_(new (std::nothrow) float[size_t(frames_) * mixer_out_channels(m)])
    {
    }
    const char *name() const override { return "silent"; }
    Opened open(int32_t) override { return buffer_ ? Opened::kYes : Opened::kNoLibrary; }
    void close() override { running_ = false; }
    void run(bool running) override
    {
        running_ = running;
        next_ = Clock::now();
    }
    bool lost() override { return false; }

    /* Renders a period when one is due, else waits for it, or for a wake. */
    void wait(std::chrono::milliseconds timeout) override
    {
        const auto now = Clock::now();
        if (!running_ || now < next_) {
            const auto due = running_ ? std::min<Clock::duration>(timeout, next_ - now) : timeout;
            wait_for_wake(wake_fd_, std::chrono::ceil<std::chrono::milliseconds>(due));
            return;
        }
        mixer_render(mixer_, buffer_.get(), frames_);
        next_ += period_;
        if (Clock::now() - next_ > kGiveUp)
            next_ = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;
    Mixer *mixer_;
    int wake_fd_;
    uint32_t frames_;
    Clock::duration period_;
    std::unique_ptr<float[]> buffer_;
    bool running_ = false;
    Clock::time_point next_{};
};

} // namespace

std::unique_ptr<Driver> make_silent_driver(Mixer *m, int wake_fd)
{
    return std::make_unique<SilentDriver>(m, wake_fd);
}

} // namespace sona
