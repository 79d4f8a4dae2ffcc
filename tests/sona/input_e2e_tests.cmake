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
target_link_libraries(test_e2e_harness PRIVATE sona_pulse_harness sona_headers GTest::gtest_main)
# The shared helpers' header only, for its measurements.
target_include_directories(test_e2e_harness PRIVATE ${PROJECT_SOURCE_DIR}/sona)
add_test(NAME e2e_pulse_harness COMMAND test_e2e_harness)
set_tests_properties(e2e_pulse_harness PROPERTIES LABELS "e2e" TIMEOUT 120)

# The render entries and every internal live in sona_core; the end-to-end
# tests load the real shared library instead, as the program does.
if(TARGET sona_core)
  foreach(name IN ITEMS formats bad windows)
    add_executable(test_input_${name} test_input_${name}.cpp)
    target_link_libraries(test_input_${name} PRIVATE sona_core sona_headers sona_pulse_harness
                          GTest::gtest_main)
    target_include_directories(test_input_${name} PRIVATE ${PROJECT_SOURCE_DIR}/sona)
    add_test(NAME input_${name} COMMAND test_input_${name})
    set_tests_properties(input_${name} PROPERTIES LABELS "input" TIMEOUT 300)
  endforeach()
endif()

if(TARGET sona)
  add_executable(test_e2e_speakers test_e2e_speakers.cpp)
  target_link_libraries(test_e2e_speakers PRIVATE sona sona_headers sona_pulse_harness
                        GTest::gtest_main)
  # For the shared helpers' header only: nothing internal is called.
  target_include_directories(test_e2e_speakers PRIVATE ${PROJECT_SOURCE_DIR}/sona)
  # Third-party noise under the sanitizers; each file says what it hides.
  set(e2e_env SDL_AUDIODRIVER=pulseaudio
      LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/e2e_lsan.supp
      TSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/e2e_tsan.supp)
  foreach(sink IN ITEMS Surround Stereo)
    string(TOLOWER ${sink} lower)
    add_test(NAME e2e_speakers_${lower} COMMAND test_e2e_speakers --gtest_filter=On${sink}Sink.*)
    set_tests_properties(e2e_speakers_${lower} PROPERTIES LABELS "e2e" TIMEOUT 300
                         ENVIRONMENT "${e2e_env}")
  endforeach()

  add_executable(test_e2e_server_restart test_e2e_server_restart.cpp)
  target_link_libraries(test_e2e_server_restart PRIVATE sona sona_headers sona_pulse_harness
                        GTest::gtest_main)
  target_include_directories(test_e2e_server_restart PRIVATE ${PROJECT_SOURCE_DIR}/sona)
  add_test(NAME e2e_server_restart COMMAND test_e2e_server_restart)
  set_tests_properties(e2e_server_restart PROPERTIES LABELS "e2e" TIMEOUT 300
                       ENVIRONMENT "${e2e_env}")
endif()
