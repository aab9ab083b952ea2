# Builds the parts of the VST 3 SDK this project needs from its sources.
# The SDK is third-party code: its warnings are silenced here (-w), never
# patched, and its headers are included as system headers so that our own
# -Werror build does not trip over them.
#
# Targets:
#   vst3sdk_base        pluginterfaces + base: FUnknown, FObject, strings, locks
#   vst3sdk_plugin      what a plug-in links: factory, AudioEffect, EditController
#   vst3sdk_module_main the Linux module entry points, as objects (a static
#                       archive would let the linker drop them, and with them
#                       ModuleEntry/ModuleExit)
#   vst3sdk_hosting     what a host links: module loading, host classes, ProcessData
#   vst3sdk_validator   the SDK's own plug-in validator (executable)
#   vst3sdk_moduleinfotool  writes and checks Contents/Resources/moduleinfo.json

set(SDK "${VST3_SDK_ROOT}")
foreach(required pluginterfaces/base/funknown.cpp base/source/fobject.cpp
                 public.sdk/source/main/pluginfactory.cpp)
    if(NOT EXISTS "${SDK}/${required}")
        message(FATAL_ERROR "VST3_SDK_ROOT=${SDK} holds no VST 3 SDK (missing ${required}). "
                            "Run scripts/fetch-vst3sdk.sh or point VST3_SDK_ROOT at an SDK checkout.")
    endif()
endforeach()

function(vst3sdk_quiet target)
    target_compile_options(${target} PRIVATE -w)
    target_include_directories(${target} SYSTEM PUBLIC "${SDK}")
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON
                                               CXX_VISIBILITY_PRESET hidden
                                               VISIBILITY_INLINES_HIDDEN ON)
endfunction()

add_library(vst3sdk_base STATIC
    ${SDK}/pluginterfaces/base/conststringtable.cpp
    ${SDK}/pluginterfaces/base/coreiids.cpp
    ${SDK}/pluginterfaces/base/funknown.cpp
    ${SDK}/pluginterfaces/base/ustring.cpp
    ${SDK}/base/source/baseiids.cpp
    ${SDK}/base/source/fbuffer.cpp
    ${SDK}/base/source/fdebug.cpp
    ${SDK}/base/source/fdynlib.cpp
    ${SDK}/base/source/fobject.cpp
    ${SDK}/base/source/fstreamer.cpp
    ${SDK}/base/source/fstring.cpp
    ${SDK}/base/source/timer.cpp
    ${SDK}/base/source/updatehandler.cpp
    ${SDK}/base/thread/source/fcondition.cpp
    ${SDK}/base/thread/source/flock.cpp)
vst3sdk_quiet(vst3sdk_base)
find_package(Threads REQUIRED)
target_link_libraries(vst3sdk_base PUBLIC Threads::Threads ${CMAKE_DL_LIBS})

add_library(vst3sdk_plugin STATIC
    ${SDK}/public.sdk/source/common/commoniids.cpp
    ${SDK}/public.sdk/source/common/pluginview.cpp
    ${SDK}/public.sdk/source/main/pluginfactory.cpp
    ${SDK}/public.sdk/source/vst/vstaudioeffect.cpp
    ${SDK}/public.sdk/source/vst/vstbus.cpp
    ${SDK}/public.sdk/source/vst/vstcomponent.cpp
    ${SDK}/public.sdk/source/vst/vstcomponentbase.cpp
    ${SDK}/public.sdk/source/vst/vsteditcontroller.cpp
    ${SDK}/public.sdk/source/vst/vstinitiids.cpp
    ${SDK}/public.sdk/source/vst/vstparameters.cpp)
vst3sdk_quiet(vst3sdk_plugin)
target_link_libraries(vst3sdk_plugin PUBLIC vst3sdk_base)

add_library(vst3sdk_module_main OBJECT
    ${SDK}/public.sdk/source/main/linuxmain.cpp
    ${SDK}/public.sdk/source/main/moduleinit.cpp)
vst3sdk_quiet(vst3sdk_module_main)

add_library(vst3sdk_hosting STATIC
    ${SDK}/public.sdk/source/common/commoniids.cpp
    ${SDK}/public.sdk/source/common/memorystream.cpp
    ${SDK}/public.sdk/source/common/readfile.cpp
    ${SDK}/public.sdk/source/common/threadchecker_linux.cpp
    ${SDK}/public.sdk/source/vst/vstpresetfile.cpp
    ${SDK}/public.sdk/source/vst/hosting/connectionproxy.cpp
    ${SDK}/public.sdk/source/vst/hosting/eventlist.cpp
    ${SDK}/public.sdk/source/vst/hosting/hostclasses.cpp
    ${SDK}/public.sdk/source/vst/hosting/module.cpp
    ${SDK}/public.sdk/source/vst/hosting/module_linux.cpp
    ${SDK}/public.sdk/source/vst/hosting/parameterchanges.cpp
    ${SDK}/public.sdk/source/vst/hosting/pluginterfacesupport.cpp
    ${SDK}/public.sdk/source/vst/hosting/plugprovider.cpp
    ${SDK}/public.sdk/source/vst/hosting/processdata.cpp
    ${SDK}/public.sdk/source/vst/utility/stringconvert.cpp
    ${SDK}/public.sdk/source/vst/vstinitiids.cpp)
vst3sdk_quiet(vst3sdk_hosting)
target_link_libraries(vst3sdk_hosting PUBLIC vst3sdk_base)
# module_linux.cpp uses <filesystem>; GCC 8 still needed the extra library.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 9)
    target_link_libraries(vst3sdk_hosting PUBLIC stdc++fs)
endif()

set(VALIDATOR_DIR ${SDK}/public.sdk/samples/vst-hosting/validator/source)
file(GLOB VALIDATOR_TESTSUITE CONFIGURE_DEPENDS
    ${SDK}/public.sdk/source/vst/testsuite/*.cpp
    ${SDK}/public.sdk/source/vst/testsuite/*/*.cpp
    ${SDK}/public.sdk/source/vst/hosting/test/*.cpp)
add_executable(vst3sdk_validator
    ${VALIDATOR_TESTSUITE}
    ${SDK}/public.sdk/source/main/moduleinit.cpp
    ${SDK}/public.sdk/source/vst/moduleinfo/moduleinfoparser.cpp
    ${SDK}/public.sdk/source/vst/utility/testing.cpp
    ${VALIDATOR_DIR}/main.cpp
    ${VALIDATOR_DIR}/usediids.cpp
    ${VALIDATOR_DIR}/validator.cpp)
vst3sdk_quiet(vst3sdk_validator)
target_link_libraries(vst3sdk_validator PRIVATE vst3sdk_hosting)
set_target_properties(vst3sdk_validator PROPERTIES OUTPUT_NAME validator)

set(MODULEINFO_DIR ${SDK}/public.sdk/source/vst/moduleinfo)
add_executable(vst3sdk_moduleinfotool
    ${SDK}/public.sdk/samples/vst-utilities/moduleinfotool/source/main.cpp
    ${MODULEINFO_DIR}/moduleinfocreator.cpp
    ${MODULEINFO_DIR}/moduleinfoparser.cpp)
vst3sdk_quiet(vst3sdk_moduleinfotool)
target_link_libraries(vst3sdk_moduleinfotool PRIVATE vst3sdk_hosting)
set_target_properties(vst3sdk_moduleinfotool PROPERTIES OUTPUT_NAME moduleinfotool)
