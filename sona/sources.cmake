# libsona's sources, by the part they go into.  Read by sona/CMakeLists.txt
# and by the fuzzing build in fuzz/, so that a new file is listed once.
set(SONA_CORE_SOURCES
  api.cpp
  channel.cpp
  engine.cpp
  pool.cpp
  ring.cpp
  streams.cpp
  mix/clock.cpp
  mix/events.cpp
  mix/history.cpp
  mix/kernels.cpp
  mix/mixer.cpp
  mix/session.cpp
  output/drivers.cpp
  output/keeper.cpp
  output/pipewire.cpp
  output/pulse.cpp
  output/sdl.cpp
  output/silent.cpp
  output/write_ahead.cpp)
# The FFmpeg decoder: libsona-ffmpeg.so, or linked in directly.
set(SONA_DECODER_SOURCES
  decoder/channel_map.cpp
  decoder/fill.cpp
  decoder/info.cpp
  decoder/module.cpp
  decoder/open.cpp
  decoder/seek.cpp)
