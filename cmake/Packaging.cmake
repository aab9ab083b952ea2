# A Debian package (cpack -G DEB in a build directory): the bundle in
# /usr/lib/vst3, strovik-probe in /usr/bin, the copyright file in
# /usr/share/doc/strovik-capture. The library dependencies come from
# dpkg-shlibdeps (package dpkg-dev), so they match the libraries the
# binaries were linked against.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME strovik-capture)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR Strovik)
set(CPACK_PACKAGE_CONTACT "Strovik <support@strovik.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "VST 3 plug-in that brings the desktop's audio into a DAW track")
set(CPACK_PACKAGE_DESCRIPTION
    "Strovik Capture is a VST 3 plug-in for Linux: each instance records the
monitor of the default PipeWire output device and hands that audio to the
host on its output bus, so whatever the desktop plays (a browser, a video
call, another program) can be recorded or processed in a DAW track.
.
The package also contains strovik-probe, a small command-line VST 3 host
that loads the installed bundle and captures a few seconds into a WAV file.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# A user install (STROVIK_INSTALL_USER) would put ~/.vst3 into the package.
set(CPACK_ERROR_ON_ABSOLUTE_INSTALL_DESTINATION ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://strovik.example.org")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The plug-in needs a PipeWire server to hear anything, but loads without one.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sox")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
