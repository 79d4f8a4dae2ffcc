// End to end through the library's outputs: where each speaker word is
// heard, also after the desktop moves the stream; a server that comes late
// or restarts.  See end_to_end.h.
#include "end_to_end.h"

using namespace sona_test;
using namespace e2e;
using sound::Sink;
using Clock = std::chrono::steady_clock;

namespace {

const Sink kOther{"other", 6};

struct RouteRow {
    uint32_t word;
    std::vector<double> surround, stereo; /* each channel's level, relative to the tone */
};
constexpr double a = 0.41421356, h = 0.70710678; /* the stereo fold's scale, and -3 dB */
const RouteRow kRoutes[] = {
    {SONA_SPEAKER_FRONTLEFT, {1, 0, 0, 0, 0, 0}, {a, 0}},
    {SONA_SPEAKER_FRONTRIGHT, {0, 1, 0, 0, 0, 0}, {0, a}},
    {SONA_SPEAKER_CENTER, {0, 0, 1, 0, 0, 0}, {a * h, a * h}},
    {SONA_SPEAKER_REARLEFT, {0, 0, 0, 0, 1, 0}, {a * h, 0}},
    {SONA_SPEAKER_REARRIGHT, {0, 0, 0, 0, 0, 1}, {0, a * h}},
    {0, {1, 1, 0, 0, 0, 0}, {a, a}},
};

/* Moves the library's stream to `sink`, as the desktop's sound settings
   do: on PulseAudio by its index, on PipeWire by the target of its node
   (pipewire-pulse 0.3.65 names a stream by its index there, which is not
   always its node's id, and the move may never happen). */
bool move_ours(sound::Server &server, const Sink &sink)
{
    const auto number_before = [](const std::string &text, size_t at, const std::string &label) {
        const size_t found = at == std::string::npos ? at : text.rfind(label, at);
        return found == std::string::npos ? std::string() : std::to_string(std::stoul(text.substr(found + label.size())));
    };
    const std::string ours = "application.name = \"test_e2e\"";
    std::string list;
    if (!kOnPipeWire) {
        const std::string index = server.pactl("list sink-inputs", &list)
                                      ? number_before(list, list.find(ours), "Sink Input #") : "";
        return !index.empty() && server.pactl("move-sink-input " + index + " " + sink.name);
    }
    const std::string id = server.tool("pw-cli ls Node", &list) ? number_before(list, list.find(ours), "\n\tid ") : "";
    return !id.empty() && server.tool("pw-metadata -n default " + id + " target.object " + sink.name);
}

// Device 1 is the default sink, 5.1 here.  Device n is the n-th sink of
// the server's list: the second of three, a stereo one, to which the
// library folds down itself.  Past the list's end there is none.
TEST_F(EndToEnd, EachSpeakerWordIsHeardOnItsSpeakerAndFoldedOnANumberedStereoSink)
{
    start({kSurround, kStereo, kOther});
    /* Each word in turn, heard by `recorder` at the row's levels for `where`. */
    const auto each_word = [](SONA_HSTREAM h, const sound::Recorder &recorder, bool stereo, const std::string &where) {
        for (const RouteRow &row : kRoutes) {
            ASSERT_TRUE(SONA_ChannelSetFlags(h, row.word));
            recorder.expect_heard(stereo ? row.stereo : row.surround, "word " + std::to_string(row.word) + where);
        }
    };
    const SONA_HSTREAM h = play_tone();
    each_word(h, *recorder_, false, "");
    // The desktop's mixer shows the stream by the program's name, and its
    // role as PulseAudio spells it (SDL, the fallback, spells it its way).
    const char *forced = std::getenv("SONA_OUTPUT");
    const std::string driver = forced ? forced : "";
    std::string inputs;
    ASSERT_TRUE(server_->pactl("list sink-inputs", &inputs)) << server_->error();
    for (const char *property : {"application.name = \"test_e2e\"", "media.name = \"Playback\""})
        EXPECT_NE(inputs.find(property), std::string::npos) << property << " in " << inputs;
    EXPECT_TRUE(driver == "sdl" || inputs.find("media.role = \"music\"") != std::string::npos) << inputs;
    // On PipeWire the stream is PipeWire's own unless a driver is forced.
    const bool native = inputs.find("client.api = \"pipewire-pulse\"") == std::string::npos;
    EXPECT_TRUE(!kOnPipeWire || native == driver.empty()) << inputs;

    // Moved to the stereo sink, as in the desktop's sound settings, the
    // stream is heard there in full within a second, folded by the
    // library: routed to the centre, on both sides at the fold's ratio.
    // Moved on to another 5.1 sink, it is 5.1 again.  (SDL leaves the fold
    // to the server.)
    if (driver != "sdl") {
        const auto busy = keep_busy(*server_, kStereo, dir_);
        sound::Recorder stereo(*server_, kStereo);
        ASSERT_TRUE(stereo.ok());
        ASSERT_TRUE(SONA_ChannelSetFlags(h, SONA_SPEAKER_CENTER));
        const auto moving = Clock::now();
        ASSERT_TRUE(move_ours(*server_, kStereo)) << server_->error();
        const RouteRow &centre = kRoutes[2];
        ASSERT_EQ(centre.word, SONA_SPEAKER_CENTER);
        stereo.expect_heard(centre.stereo, "the centre, moved to the stereo sink");
        // A second, and the tenth of a second the level is judged over.
        const double moved_s = std::chrono::duration<double>(Clock::now() - moving).count();
        EXPECT_LT(moved_s, 1.2 * kSanitizedSlower) << "heard in full on the sink moved to after " << moved_s << " s";
        each_word(h, stereo, true, ", moved to the stereo sink");
        const auto other_busy = keep_busy(*server_, kOther, dir_);
        sound::Recorder other(*server_, kOther);
        ASSERT_TRUE(other.ok() && move_ours(*server_, kOther)) << server_->error();
        other.expect_heard(kRoutes[std::size(kRoutes) - 1].surround, "moved on to another 5.1 sink");
    }

    ASSERT_TRUE(SONA_Free());
    EXPECT_FALSE(SONA_Init(4, kRate, 0, 0, nullptr));
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_DEVICE);
    recorder_ = std::make_unique<sound::Recorder>(*server_, kStereo);
    each_word(play_tone(1000, 2), *recorder_, true, " on the stereo sink");
}

// A server that is not there at Init, then one that dies under a playing
// stream: each is found once it comes, and meanwhile no call waits.
TEST_F(EndToEnd, AServerThatComesLateOrRestartsIsFoundAndNoCallWaits)
{
    start({kSurround});
    recorder_.reset();
    server_->crash();
    const SONA_HSTREAM h = play_tone();
    ASSERT_TRUE(server_->restart()) << server_->error();
    recorder_ = std::make_unique<sound::Recorder>(*server_, kSurround);
    recorder_->expect_heard({1, 1, 0, 0, 0, 0}, "once the server came");
    recorder_.reset();
    server_->crash();
    // Meanwhile every call answers at once: the window's timer goes on
    // calling ten times a second.
    const std::optional<bool> answered = guarded<bool>([h] {
        bool ok = true;
        for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(50ms))
            ok = ok && SONA_ChannelSetAttributes(h, -1, 80 + i % 2, -1) &&
                 SONA_ChannelSetFlags(h, i % 2 ? SONA_SPEAKER_FRONTLEFT : 0) &&
                 SONA_ChannelPlay(h, SONA_FALSE);
        return ok && SONA_ChannelSetFlags(h, SONA_SPEAKER_REARRIGHT) &&
               SONA_ChannelSetAttributes(h, -1, 100, -1);
    });
    ASSERT_TRUE(answered) << "a call waited for the server";
    EXPECT_TRUE(*answered);
    ASSERT_TRUE(server_->restart()) << server_->error();
    recorder_ = std::make_unique<sound::Recorder>(*server_, kSurround);
    recorder_->expect_heard({0, 0, 0, 0, 0, 1}, "after the restart, as set while the server was away");
}

} // namespace
