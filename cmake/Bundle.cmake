# Lays a module out as a VST 3 bundle:
#   <Name>.vst3/Contents/<arch>-linux/<Name>.so
#   <Name>.vst3/Contents/Resources/moduleinfo.json
# The module is linked straight into the bundle, and moduleinfo.json is
# written by the SDK's moduleinfotool after every link, then checked by it.

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(STROVIK_BUNDLE_ARCH "x86_64-linux")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(STROVIK_BUNDLE_ARCH "aarch64-linux")
else()
    set(STROVIK_BUNDLE_ARCH "${CMAKE_SYSTEM_PROCESSOR}-linux")
endif()

function(strovik_make_bundle target)
    set(bundle "${CMAKE_BINARY_DIR}/VST3/${target}.vst3")
    set_target_properties(${target} PROPERTIES
        LIBRARY_OUTPUT_DIRECTORY "${bundle}/Contents/${STROVIK_BUNDLE_ARCH}")
    set(info "${bundle}/Contents/Resources/moduleinfo.json")
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E make_directory "${bundle}/Contents/Resources"
        COMMAND $<TARGET_FILE:vst3sdk_moduleinfotool> -create -version ${PROJECT_VERSION}
                -path "${bundle}" -output "${info}"
        COMMAND $<TARGET_FILE:vst3sdk_moduleinfotool> -validate -path "${bundle}"
        VERBATIM)
    add_dependencies(${target} vst3sdk_moduleinfotool)
    set_property(GLOBAL PROPERTY STROVIK_BUNDLE_DIR "${bundle}")
endfunction()
