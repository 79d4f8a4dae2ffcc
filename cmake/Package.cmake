# `cpack` in the build tree makes Debian packages of what `cmake --install`
# puts in place, under /usr, split as Debian splits a library from its users:
#   libsona1     libsona.so.1 and its private decoder module;
#   libsona-dev  sona.h, sona.pc and the libsona.so link, to build against it;
#   quadrant     the program, its launcher, icon, AppStream entry and manual page.
# dpkg-shlibdeps reads their dependencies from the ELF files: Qt for the
# program (its platform plugins come with libqt6gui6), FFmpeg for the
# decoder module.  debian/ beside this file holds what the packages carry
# besides the installed tree, and the script that mends CPack's output.

set(QUADRANT_MAINTAINER "The Quadrant developers <developers@quadrant.org>")
set(QUADRANT_DEB_RELEASE 1)
set(QUADRANT_DEB_VERSION ${PROJECT_VERSION}-${QUADRANT_DEB_RELEASE})
set(QUADRANT_PACKAGE_SONA libsona${SONA_SOVERSION})
set(QUADRANT_PACKAGE_SONA_DEV libsona-dev)
set(QUADRANT_PACKAGE_PROGRAM quadrant)
string(SUBSTRING ${QUADRANT_RELEASE_DATE} 0 4 QUADRANT_RELEASE_YEAR)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${QUADRANT_COMPONENT_SONA} ${QUADRANT_COMPONENT_SONA_DEV}
                         ${QUADRANT_COMPONENT_PROGRAM})
set(CPACK_PACKAGE_NAME quadrant)
set(CPACK_PACKAGE_VENDOR "The Quadrant developers")
set(CPACK_PACKAGE_CONTACT "${QUADRANT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUADRANT_DEB_RELEASE})
# Empty, so that CPack adds no common first line: each description below
# starts with its package's own summary.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file: a program linked against libsona.so.1 depends on
# libsona1 of this version or later.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# A component's CPACK_COMPONENT_<NAME>_DEPENDS becomes "Depends: pkg (= version)".
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/drop_ldconfig_scripts.cmake)
# Packages are made in the build tree, never in the sources.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)

# CPack names a component's variables by the component in capitals.
string(TOUPPER ${QUADRANT_COMPONENT_SONA} deb_sona)
string(TOUPPER ${QUADRANT_COMPONENT_SONA_DEV} deb_sona_dev)
string(TOUPPER ${QUADRANT_COMPONENT_PROGRAM} deb_program)

set(CPACK_DEBIAN_${deb_sona}_PACKAGE_NAME ${QUADRANT_PACKAGE_SONA})
set(CPACK_DEBIAN_${deb_sona}_PACKAGE_SECTION libs)
# Named outright: libsona reaches SDL2 through dlopen, which dpkg-shlibdeps
# cannot see, and without it there is no sound at all (libpulse0, which the
# native PulseAudio driver loads the same way, comes with it).  libpipewire
# is only suggested: the PipeWire driver is of use only where a PipeWire
# server runs, which brings the library with it, and elsewhere libsona
# plays through the other drivers.
set(CPACK_DEBIAN_${deb_sona}_PACKAGE_DEPENDS "libsdl2-2.0-0")
set(CPACK_DEBIAN_${deb_sona}_PACKAGE_SUGGESTS "libpipewire-0.3-0")
set(CPACK_DEBIAN_${deb_sona}_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_${deb_sona}_PACKAGE_CONTROL_STRICT_PERMISSION ON)
string(CONCAT CPACK_DEBIAN_${deb_sona}_DESCRIPTION
       "audio library of the Quadrant player\n"
       "libsona plays audio files of any common format, decoded by FFmpeg, on a\n"
       "5.1 mix sent to the desktop's sound server: each stream with its own\n"
       "volume, balance and choice of speakers.\n"
       "This package holds the shared library, and the decoder it loads by the\n"
       "time the first file opens.")

set(CPACK_DEBIAN_${deb_sona_dev}_PACKAGE_NAME ${QUADRANT_PACKAGE_SONA_DEV})
set(CPACK_DEBIAN_${deb_sona_dev}_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_${deb_sona_dev}_DEPENDS ${QUADRANT_COMPONENT_SONA})
string(CONCAT CPACK_DEBIAN_${deb_sona_dev}_DESCRIPTION
       "audio library of the Quadrant player - development files\n"
       "libsona plays audio files of any common format, decoded by FFmpeg, on a\n"
       "5.1 mix sent to the desktop's sound server.\n"
       "This package holds what building a C or C++ program against libsona\n"
       "needs: the header sona.h, which documents every call, and sona.pc for\n"
       "pkg-config.")

set(CPACK_DEBIAN_${deb_program}_PACKAGE_NAME ${QUADRANT_PACKAGE_PROGRAM})
set(CPACK_DEBIAN_${deb_program}_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_${deb_program}_DEPENDS ${QUADRANT_COMPONENT_SONA})
# Qt's Wayland platform, which dpkg-shlibdeps cannot see (Qt loads it by
# itself): without it a Wayland desktop shows the window through XWayland,
# blurred at fractional scales.  Recommended, as the window still opens
# without it.
set(CPACK_DEBIAN_${deb_program}_PACKAGE_RECOMMENDS "qt6-wayland")
string(CONCAT CPACK_DEBIAN_${deb_program}_DESCRIPTION
       "small audio player that sends a file to one 5.1 speaker\n"
       "Quadrant plays audio files of any common format in one window: Play,\n"
       "Stop, a volume slider and Balance, which sends the playing stream to one\n"
       "speaker of a 5.1 system.  Files dropped on the window or opened with it\n"
       "from a file manager play too; the desktop's player controls and media\n"
       "keys reach it through MPRIS, and the machine does not suspend while it\n"
       "plays.")

# Each package's copyright, Debian changelog and lintian overrides, which
# only packages carry: a plain `cmake --install` leaves them out.
set(debian_doc ${PROJECT_BINARY_DIR}/debian-doc)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${debian_doc}/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${debian_doc}/changelog.Debian @ONLY)
quadrant_gzip(${debian_doc}/changelog.Debian)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} name)
  set(package ${CPACK_DEBIAN_${name}_PACKAGE_NAME})
  install(FILES ${debian_doc}/copyright ${debian_doc}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
