# The property page and the About page: brevane_pages holds their code;
# VELMORA_PAGES_RC (dialogs, strings, banner) must be a source of the module
# that shows them, since resources in a static library are not linked.
set(VELMORA_PAGES_RC ${CMAKE_CURRENT_LIST_DIR}/Pages.rc)
include_guard(GLOBAL)
add_library(brevane_pages STATIC
  ${CMAKE_CURRENT_LIST_DIR}/FilterPP.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AboutBrevane.cpp)
target_link_libraries(brevane_pages PUBLIC dshowx brevane_idl)
target_include_directories(brevane_pages PUBLIC ${CMAKE_CURRENT_LIST_DIR})
