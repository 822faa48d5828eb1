# Dear ImGui for everything that draws: Debian's libimgui-dev (1.86) by
# default, or the sources of one ImGui folder compiled here as they come:
#
#   -DCRW_IMGUI_DIR=DIR   DIR/imgui.h, imgui.cpp, imgui_draw.cpp, imgui_widgets.cpp
#                         (the host's copy: ../shared/imgui-1.75-host)
#
# The plug-in must be compiled against exactly the header the game runs, so
# this is how it is built and tested against the host's ImGui.
#
# Defines the target crw_imgui. crw_imgui_desktop_backend(<target>) adds the
# GLFW + OpenGL 3 back-ends for the sandbox; nothing here needs them, pkg-config
# or GLFW otherwise, so a cross compiler can build crw_core and the tests.
include_guard(GLOBAL)

set(CRW_IMGUI_DIR "" CACHE PATH "Build against the ImGui sources in this folder instead of the system's ImGui")

if(CRW_IMGUI_DIR)
  get_filename_component(CRW_IMGUI_DIR "${CRW_IMGUI_DIR}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
  if(NOT EXISTS "${CRW_IMGUI_DIR}/imgui.h" OR NOT EXISTS "${CRW_IMGUI_DIR}/imgui.cpp")
    message(FATAL_ERROR "CRW_IMGUI_DIR=${CRW_IMGUI_DIR} holds no imgui.h and imgui.cpp")
  endif()
  file(STRINGS "${CRW_IMGUI_DIR}/imgui.h" _crw_imgui_version REGEX "#define IMGUI_VERSION +\"")
  string(REGEX REPLACE ".*\"(.*)\".*" "\\1" _crw_imgui_version "${_crw_imgui_version}")
  message(STATUS "ImGui ${_crw_imgui_version} from ${CRW_IMGUI_DIR}")

  set(_crw_imgui_sources)
  foreach(name imgui imgui_draw imgui_widgets imgui_tables)
    if(EXISTS "${CRW_IMGUI_DIR}/${name}.cpp")
      list(APPEND _crw_imgui_sources "${CRW_IMGUI_DIR}/${name}.cpp")
    endif()
  endforeach()
  add_library(crw_imgui STATIC ${_crw_imgui_sources})
  # SYSTEM: its headers' warnings are not ours.
  target_include_directories(crw_imgui SYSTEM PUBLIC "${CRW_IMGUI_DIR}")
  if(NOT MSVC)
    target_compile_options(crw_imgui PRIVATE -w)
  endif()
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CRW_SYSTEM_IMGUI REQUIRED IMPORTED_TARGET imgui)
  add_library(crw_imgui INTERFACE)
  target_link_libraries(crw_imgui INTERFACE PkgConfig::CRW_SYSTEM_IMGUI)
endif()

# GLFW + OpenGL 3 back-ends linked into <target>. Debian's library carries
# them; a source folder has them in backends/.
function(crw_imgui_desktop_backend target)
  find_package(glfw3 REQUIRED)
  find_package(OpenGL REQUIRED)
  if(CRW_IMGUI_DIR)
    if(NOT TARGET crw_imgui_backend)
      add_library(crw_imgui_backend STATIC
        "${CRW_IMGUI_DIR}/backends/imgui_impl_glfw.cpp"
        "${CRW_IMGUI_DIR}/backends/imgui_impl_opengl3.cpp")
      target_include_directories(crw_imgui_backend SYSTEM PUBLIC "${CRW_IMGUI_DIR}/backends")
      target_link_libraries(crw_imgui_backend PUBLIC crw_imgui glfw OpenGL::GL)
      target_compile_options(crw_imgui_backend PRIVATE -w)
      # Before 1.84 the OpenGL 3 back-end (header included) wants a loader
      # named at compile time.
      if(NOT EXISTS "${CRW_IMGUI_DIR}/backends/imgui_impl_opengl3_loader.h")
        target_compile_definitions(crw_imgui_backend PUBLIC
          "IMGUI_IMPL_OPENGL_LOADER_CUSTOM=<GL/gl.h>" GL_GLEXT_PROTOTYPES)
      endif()
    endif()
    target_link_libraries(${target} PUBLIC crw_imgui_backend)
  else()
    target_link_libraries(${target} PUBLIC crw_imgui glfw OpenGL::GL)
  endif()
endfunction()
