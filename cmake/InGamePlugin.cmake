# The in-game plug-in: crw.dll, built with MSVC against the host's SDK and the
# ImGui sources it ships, since the plug-in draws in the host's ImGui context.
# Nothing else is built here (no sandbox, server or tests).
#
#   -DCRW_HOST_SDK=DIR     the SDK: DIR/include/bakkesmod/... and DIR/lib/pluginsdk.lib
#   -DCRW_HOST_IMGUI=DIR   the SDK's ImGui: imgui.h, imgui.cpp, imgui_draw.cpp, imgui_widgets.cpp
#
# jsoncpp, fmt, websocketpp and Boost.Asio come from vcpkg.json, linked
# statically (triplet x64-windows-static-md).

set(CRW_HOST_SDK "" CACHE PATH "The host's plug-in SDK (include/ and lib/pluginsdk.lib)")
set(CRW_HOST_IMGUI "" CACHE PATH "The ImGui sources that come with the host's SDK")

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  message(FATAL_ERROR "The host is 64-bit: configure with -A x64")
endif()
if(NOT EXISTS "${CRW_HOST_SDK}/include/bakkesmod/plugin/bakkesmodplugin.h" OR
   NOT EXISTS "${CRW_HOST_SDK}/lib/pluginsdk.lib")
  message(FATAL_ERROR "Pass -DCRW_HOST_SDK=DIR, the host's SDK with include/bakkesmod/ and lib/pluginsdk.lib")
endif()
if(NOT EXISTS "${CRW_HOST_IMGUI}/imgui.h" OR NOT EXISTS "${CRW_HOST_IMGUI}/imgui.cpp")
  message(FATAL_ERROR "Pass -DCRW_HOST_IMGUI=DIR, the folder of the SDK's imgui.h and imgui.cpp")
endif()

# The host runs on the shared release C runtime: /MD in every configuration,
# and Debug takes the release build of the vcpkg libraries to match it.
set(CMAKE_MSVC_RUNTIME_LIBRARY MultiThreadedDLL)
set(CMAKE_MAP_IMPORTED_CONFIG_DEBUG Release)
string(REPLACE "/D_DEBUG" "" CMAKE_CXX_FLAGS_DEBUG "${CMAKE_CXX_FLAGS_DEBUG}")
string(REPLACE "/D_DEBUG" "" CMAKE_C_FLAGS_DEBUG "${CMAKE_C_FLAGS_DEBUG}")

find_package(jsoncpp CONFIG REQUIRED)
find_package(fmt CONFIG REQUIRED)
find_package(websocketpp CONFIG REQUIRED)
find_package(Boost REQUIRED) # Asio and System, header-only

file(GLOB CRW_PLUGIN_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/plugin/*.cpp
  ${PROJECT_SOURCE_DIR}/net/*.cpp
  ${PROJECT_SOURCE_DIR}/matching/*.cpp
  ${PROJECT_SOURCE_DIR}/ui/*.cpp)
set(CRW_IMGUI_SOURCES)
foreach(name imgui imgui_draw imgui_widgets imgui_tables)
  if(EXISTS "${CRW_HOST_IMGUI}/${name}.cpp")
    list(APPEND CRW_IMGUI_SOURCES "${CRW_HOST_IMGUI}/${name}.cpp")
  endif()
endforeach()

# ImGui is the host's code, compiled as it comes.
add_library(crw_host_imgui STATIC ${CRW_IMGUI_SOURCES})
target_include_directories(crw_host_imgui PUBLIC "${CRW_HOST_IMGUI}")
target_compile_options(crw_host_imgui PRIVATE /utf-8)

add_library(crw SHARED ${CRW_PLUGIN_SOURCES})
target_include_directories(crw PRIVATE ${PROJECT_SOURCE_DIR} "${CRW_HOST_SDK}/include")
target_compile_definitions(crw PRIVATE
  CRW_SERVER_ADDRESS="${CRW_SERVER_ADDRESS}"
  _WEBSOCKETPP_CPP11_STL_ _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
# Warnings on for our code; third-party headers (angle brackets) stay quiet.
target_compile_options(crw PRIVATE /utf-8 /permissive- /bigobj /W4 /Zc:__cplusplus
  /external:anglebrackets /external:W0)
target_link_libraries(crw PRIVATE
  crw_host_imgui "${CRW_HOST_SDK}/lib/pluginsdk.lib"
  JsonCpp::JsonCpp fmt::fmt websocketpp::websocketpp Boost::headers
  ws2_32 mswsock shell32)

# Where the host looks: the DLL in its plugins folder, the images (and an
# empty presets folder) in CRW/ under its data folder.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  file(TO_CMAKE_PATH "$ENV{APPDATA}/bakkesmod/bakkesmod" CRW_HOST_FOLDER)
  set(CMAKE_INSTALL_PREFIX "${CRW_HOST_FOLDER}" CACHE PATH "The host's folder" FORCE)
endif()
install(FILES $<TARGET_FILE:crw> DESTINATION plugins)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/assets/images/ DESTINATION data/CRW/images FILES_MATCHING PATTERN "*.png")
install(DIRECTORY DESTINATION data/CRW/presets)
