# What `cmake --install` puts where. VST 3 hosts on Linux look for bundles
# in ~/.vst3, /usr/lib/vst3 and /usr/local/lib/vst3, so:
#   system install  bundle in <prefix>/lib/vst3, probe in <prefix>/bin
#                   (prefix /usr/local by default; /usr for the .deb)
#   user install    -DSTROVIK_INSTALL_USER=ON: bundle in ~/.vst3 whatever the
#                   prefix; give the prefix at install time:
#                   cmake --install build --prefix ~/.local
include(GNUInstallDirs)

option(STROVIK_INSTALL_USER "Install the bundle into ~/.vst3 (the rest under the prefix)" OFF)
if(STROVIK_INSTALL_USER)
    if(NOT DEFINED ENV{HOME} OR "$ENV{HOME}" STREQUAL "")
        message(FATAL_ERROR "STROVIK_INSTALL_USER needs HOME to be set")
    endif()
    set(STROVIK_VST3_DESTINATION "$ENV{HOME}/.vst3")
else()
    # Relative, so it follows the prefix (and CPack can package it).
    set(STROVIK_VST3_DESTINATION "lib/vst3")
endif()

get_property(STROVIK_BUNDLE_DIR GLOBAL PROPERTY STROVIK_BUNDLE_DIR)
get_filename_component(STROVIK_BUNDLE_NAME "${STROVIK_BUNDLE_DIR}" NAME)
set(STROVIK_BUNDLE_DESTINATION "${STROVIK_VST3_DESTINATION}/${STROVIK_BUNDLE_NAME}")

install(TARGETS StrovikCapture
        LIBRARY DESTINATION "${STROVIK_BUNDLE_DESTINATION}/Contents/${STROVIK_BUNDLE_ARCH}")
install(FILES "${STROVIK_BUNDLE_DIR}/Contents/Resources/moduleinfo.json"
        DESTINATION "${STROVIK_BUNDLE_DESTINATION}/Contents/Resources")

# Debian's place for a package's copyright and licence, used by every install.
set(STROVIK_DOC_DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/strovik-capture")
install(FILES packaging/copyright README.md DESTINATION "${STROVIK_DOC_DESTINATION}")
