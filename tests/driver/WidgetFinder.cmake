# crw_widgetfinder: finds widgets of drawn ImGui frames. Included by this folder
# and by the sandbox host, which is built without the tests too.
include_guard(GLOBAL)
add_library(crw_widgetfinder STATIC ${CMAKE_CURRENT_LIST_DIR}/WidgetFinder.cpp)
target_include_directories(crw_widgetfinder PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(crw_widgetfinder PUBLIC crw_imgui)
# Items and texts are recorded by wrapping these ImGui functions at link time.
target_link_options(crw_widgetfinder INTERFACE
  "LINKER:--wrap=_ZN5ImGui7ItemAddERK6ImRectjPS1_i"
  "LINKER:--wrap=_ZN5ImGui7ItemAddERK6ImRectjPS1_"
  "LINKER:--wrap=_ZN10ImDrawList7AddTextEPK6ImFontfRK6ImVec2jPKcS7_fPK6ImVec4"
  "LINKER:--wrap=_ZN10ImDrawList7AddTextERK6ImVec2jPKcS4_")
