# `cpack` in the build tree makes a Debian package of what `cmake --install`
# puts in place, under /usr.  Its dependencies are read from the ELF files
# by dpkg-shlibdeps: Qt's platform plugins come with libqt6gui6, which the
# program links, and FFmpeg with the decoder module, which links it.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quadrant)
set(CPACK_PACKAGE_VENDOR "The Quadrant developers")
set(CPACK_PACKAGE_CONTACT "The Quadrant developers <quadrant@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small audio player that sends a file to one 5.1 speaker")
# CPack puts the summary above this as the first line.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "Quadrant plays audio files of any common format in one window: Play,\n"
       "Stop, a volume slider and Balance, which sends the playing stream to one\n"
       "speaker of a 5.1 system.  It comes with libsona, its audio library, and\n"
       "the header and pkg-config file for using the library on its own.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Named outright as well: libsona.so may reach SDL2 through dlopen, which
# dpkg-shlibdeps cannot see, and without it there is no sound at all.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsdl2-2.0-0")
set(CPACK_STRIP_FILES ON)
# Packages are made in the build tree, never in the sources.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
