# The Debian package of the installed tree (`cpack -G DEB`, see
# scripts/package). Runtime dependencies are read from the programs
# themselves by dpkg-shlibdeps, so they follow whatever the build links.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "wrenfield-native")
set(CPACK_PACKAGE_VERSION "0.1.0")
set(CPACK_PACKAGE_VENDOR "Wrenfield")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "native audio programs of the Wrenfield Desktop live-production application")
# Debian shows the description in lines of at most 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "audio-bridge (loopback HTTP service: devices, metering, the program\n\
encoder), plugin-host (VST3 insert chain over JSON lines, with\n\
plugin-host-scanner, the child that scans each module) and\n\
audio-capture (input listing and float32 streaming).")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Wrenfield developers <dev@wrenfield.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# audio-bridge starts ffmpeg only when an encoder is started, and FFMPEG_PATH
# may name another build: the programs run without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg")

include(CPack)
