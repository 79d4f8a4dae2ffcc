# libsona's sources, by the part they go into.  Read by sona/CMakeLists.txt
# and by the fuzzing build in fuzz/, so that a new file is listed once.
set(SONA_CORE_SOURCES
  api.cpp
  engine.cpp
  error.cpp
  mix_history.cpp
  mix_kernels.cpp
  mixer.cpp
  output.cpp
  output_pipewire.cpp
  output_pulse.cpp
  output_sdl.cpp
  output_silent.cpp
  ring.cpp
  session.cpp
  streams.cpp
  worker.cpp)
# The FFmpeg decoder: libsona-ffmpeg.so, or linked in directly.
set(SONA_DECODER_SOURCES
  channel_map.cpp
  decoder_fill.cpp
  decoder_module.cpp
  decoder_open.cpp)
