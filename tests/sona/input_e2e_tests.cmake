# Tests of bad input, file formats and end-to-end sound through a private
# PulseAudio server.  Included from CMakeLists.txt in this directory.

find_package(Threads REQUIRED)
find_program(SONA_FFMPEG ffmpeg)
find_program(SONA_SOX sox)
find_program(SONA_PULSEAUDIO pulseaudio)
find_program(SONA_PAREC parec)

add_library(sona_pulse_harness STATIC pulse_harness.cpp)
target_include_directories(sona_pulse_harness PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(sona_pulse_harness PUBLIC Threads::Threads)

# A missing sound server must fail these tests, not skip them: CI installs
# pulseaudio and pulseaudio-utils, and a skipped end-to-end test proves
# nothing.
add_executable(test_e2e_harness test_e2e_harness.cpp)
target_link_libraries(test_e2e_harness PRIVATE sona_pulse_harness GTest::gtest_main)
add_test(NAME e2e_pulse_harness COMMAND test_e2e_harness)
set_tests_properties(e2e_pulse_harness PROPERTIES LABELS "e2e" TIMEOUT 120)
