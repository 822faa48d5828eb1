# What the Windows build with MinGW-w64 (cmake/MinGW-w64.cmake) needs: crw_core,
# crw.dll, the test host and the plug-in's tests, run under Wine by
# scripts/wine-test.sh. The server, the sandbox and the benchmarks stay Linux-only.
#
#   -DCRW_WIN_DEPS=DIR    JsonCpp and GoogleTest built for Windows (the script's cache)
#   -DCRW_IMGUI_DIR=DIR   ImGui sources (there is no Windows build of Debian's)
set(CRW_WIN_DEPS "" CACHE PATH "Prefix of JsonCpp and GoogleTest built for Windows")
foreach(off CRW_BUILD_SERVER CRW_BUILD_SANDBOX CRW_BUILD_BENCH)
  set(${off} OFF CACHE BOOL "Linux only" FORCE)
endforeach()
if(NOT CRW_IMGUI_DIR)
  message(FATAL_ERROR "The Windows build needs -DCRW_IMGUI_DIR (e.g. ../shared/imgui-1.75-host)")
endif()

# Programs and DLLs in one folder, so a test finds crw.dll and crwsdk.dll.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
# Asio's objects are large.
add_compile_options(-Wa,-mbig-obj)

# Debian's header-only libraries sit in /usr/include beside glibc's headers,
# which the cross compiler must not see: it gets a folder of links instead.
set(_crw_linux_headers ${CMAKE_BINARY_DIR}/linux-headers)
foreach(dir boost websocketpp fmt)
  if(NOT EXISTS ${_crw_linux_headers}/${dir})
    file(MAKE_DIRECTORY ${_crw_linux_headers})
    file(CREATE_LINK /usr/include/${dir} ${_crw_linux_headers}/${dir} SYMBOLIC)
  endif()
endforeach()
include_directories(SYSTEM ${_crw_linux_headers})

set(jsoncpp_DIR ${CRW_WIN_DEPS}/lib/cmake/jsoncpp CACHE PATH "")
set(GTest_DIR ${CRW_WIN_DEPS}/lib/cmake/GTest CACHE PATH "")
find_package(jsoncpp CONFIG REQUIRED)
add_library(fmt::fmt INTERFACE IMPORTED)
set_target_properties(fmt::fmt PROPERTIES INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY)
# Tests are listed when ctest runs, not at build time: no Wine while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
