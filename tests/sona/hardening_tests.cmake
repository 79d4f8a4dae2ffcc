# Hardening: the installed program end to end, faults a player meets in
# use, and the inputs the fuzzer (fuzz/) once broke the library with.
# Included from CMakeLists.txt in this directory.

pkg_check_modules(QUADRANT_X11 REQUIRED IMPORTED_TARGET x11)

# The whole program as a user meets it: installed, on a real X server and a
# real sound server.  Installs the build it belongs to, so it runs after
# everything is built.
add_executable(test_e2e_program test_e2e_program.cpp)
target_link_libraries(test_e2e_program PRIVATE sona_pulse_harness sona_headers PkgConfig::QUADRANT_X11
                      GTest::gtest_main)
target_include_directories(test_e2e_program PRIVATE ${PROJECT_SOURCE_DIR}/sona)
target_compile_definitions(test_e2e_program PRIVATE QUADRANT_CMAKE="${CMAKE_COMMAND}"
                           QUADRANT_BUILD_DIR="${PROJECT_BINARY_DIR}"
                           QUADRANT_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}")
add_dependencies(test_e2e_program quadrant sona sona-ffmpeg)
add_test(NAME e2e_installed_program COMMAND test_e2e_program)
# The program inherits the sanitizers' options; libpulse is in it too.
set_tests_properties(e2e_installed_program PROPERTIES LABELS "e2e" TIMEOUT 600 ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/e2e_lsan.supp;TSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/e2e_tsan.supp")

# Faults on the render path: files changed while they play, files of
# gigabytes, odd names.
add_executable(test_faults test_faults.cpp)
target_link_libraries(test_faults PRIVATE sona_core GTest::gtest_main)
target_include_directories(test_faults PRIVATE ${PROJECT_SOURCE_DIR}/sona)
add_test(NAME faults_render COMMAND test_faults)
set_tests_properties(faults_render PROPERTIES LABELS "faults" TIMEOUT 300)

# Faults through the program's playback routines and the real libsona.so,
# loaded by name as the program loads it, on a private sound server.
add_executable(test_faults_player test_faults_player.cpp)
target_link_libraries(test_faults_player PRIVATE Module1 sona_pulse_harness sona_headers
                      GTest::gtest_main)
target_include_directories(test_faults_player PRIVATE ${PROJECT_SOURCE_DIR}/sona)
add_dependencies(test_faults_player sona sona-ffmpeg)
add_test(NAME faults_player COMMAND test_faults_player)
# A small quarantine, so that AddressSanitizer's hold on freed memory does
# not pass for growth.
set_tests_properties(faults_player PROPERTIES LABELS "faults" TIMEOUT 600 ENVIRONMENT
  "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:sona>;SDL_AUDIODRIVER=pulseaudio;ASAN_OPTIONS=quarantine_size_mb=8;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/e2e_lsan.supp;TSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/e2e_tsan.supp")

# What the fuzzer found, replayed through its own body in this build.
add_executable(test_fuzz_replay test_fuzz_replay.cpp)
target_link_libraries(test_fuzz_replay PRIVATE sona_core GTest::gtest_main)
target_include_directories(test_fuzz_replay PRIVATE ${PROJECT_SOURCE_DIR}/sona)
target_compile_definitions(test_fuzz_replay PRIVATE
                           SONA_FUZZ_INPUTS="${CMAKE_CURRENT_SOURCE_DIR}/fuzz_inputs")
add_test(NAME fuzz_inputs_replayed COMMAND test_fuzz_replay)
set_tests_properties(fuzz_inputs_replayed PROPERTIES LABELS "faults" TIMEOUT 300)
