// End to end: a real file through the real libsona.so to a private sound
// server, judged by what its null sink's monitor recorded.  The cases run
// on the rows of CMakeLists.txt (a server, and the output forced on it, if
// any), each in a process of its own, so that the server and the library
// start fresh for each.  The cases that time what is heard live in a
// program of their own, which runs alone.
#pragma once

#include "sound_server.h"
#include "test_support.h"

namespace e2e {

inline const sound::Sink kSurround{"surround", 6}, kStereo{"stereo", 2};
inline const char *const kServer = std::getenv("SONA_TEST_SERVER");
inline const bool kOnPipeWire = kServer && kServer == std::string("PipeWire");

/* Another program playing silence on `sink`: an idle null sink renders
   seconds ahead, and a stream's first second and a half is not heard on
   its monitor (a device would play it). */
inline std::unique_ptr<sound::Child> keep_busy(const sound::Server &server, const sound::Sink &sink,
                                               const sona_test::TempDir &dir)
{
    return std::make_unique<sound::Child>(std::vector<std::string>{"pacat", "--raw", "--device=" + sink.name, "/dev/zero"},
                                          server.env(), dir.file("pacat-" + sink.name + ".log"));
}

class EndToEnd : public ::testing::Test {
protected:
    /* A server with `sinks`, the first the default and recorded. */
    void start(const std::vector<sound::Sink> &sinks)
    {
        server_ = std::make_unique<sound::Server>(kOnPipeWire ? sound::Kind::PipeWire : sound::Kind::PulseAudio,
                                                  sinks);
        ASSERT_TRUE(server_->ok()) << server_->error();
        server_->use_in_this_process();
        recorder_ = std::make_unique<sound::Recorder>(*server_, sinks[0]);
        ASSERT_TRUE(recorder_->ok()) << server_->log();
    }
    void TearDown() override { SONA_Free(); }

    /* Inits the device and plays a long stereo tone. */
    SONA_HSTREAM play_tone(double hz = 1000, int32_t device = 1)
    {
        using namespace sona_test;
        EXPECT_TRUE(SONA_Init(device, kRate, 0, 0, nullptr)) << SONA_ErrorGetCode();
        const std::string path =
            make_tone(dir_, "tone.flac", {{sine(hz), sine(hz)}, "stereo", 60, 44100, "-c:a flac"});
        const SONA_HSTREAM h = SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0);
        EXPECT_NE(h, 0u) << SONA_ErrorGetCode();
        EXPECT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
        return h;
    }

    sona_test::TempDir dir_;
    std::unique_ptr<sound::Server> server_;
    std::unique_ptr<sound::Recorder> recorder_;
};

} // namespace e2e
