# The product's IDL compiled by widl: the C++ header and interface identifiers
# (target brevane_idl, include <VelmoraSpy.h>) and the type library that the
# product DLL embeds as its TYPELIB resource (VELMORA_SPY_TLB).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_idl_target --win64)
  set(_idl_stdole_dirs /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows)
else()
  set(_idl_target --win32)
  set(_idl_stdole_dirs /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows)
endif()
find_path(VELMORA_STDOLE2_DIR stdole2.tlb PATHS ${_idl_stdole_dirs} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT VELMORA_STDOLE2_DIR)
  message(FATAL_ERROR "stdole2.tlb not found (Wine's type library, needed by widl)")
endif()

set(_idl_src ${CMAKE_SOURCE_DIR}/filters/special/brevane/VelmoraSpy.idl)
set(_idl_out ${CMAKE_BINARY_DIR}/idl)
set(VELMORA_SPY_TLB ${_idl_out}/VelmoraSpy.tlb)
file(MAKE_DIRECTORY ${_idl_out})
add_custom_command(
  OUTPUT ${_idl_out}/VelmoraSpy.h ${_idl_out}/VelmoraSpy_i.c ${VELMORA_SPY_TLB}
  COMMAND ${VELMORA_WIDL} ${_idl_target} -I ${CMAKE_SOURCE_DIR}/filters/special/brevane/idl
          -L ${VELMORA_STDOLE2_DIR}
          -h -H ${_idl_out}/VelmoraSpy.h -u -U ${_idl_out}/VelmoraSpy_i.c -t -T ${VELMORA_SPY_TLB}
          ${_idl_src}
  DEPENDS ${_idl_src} ${CMAKE_SOURCE_DIR}/filters/special/brevane/idl/unknwn.idl
  COMMENT "widl VelmoraSpy.idl")
add_custom_target(brevane_idl_gen DEPENDS ${_idl_out}/VelmoraSpy.h ${VELMORA_SPY_TLB})

add_library(brevane_idl STATIC ${_idl_out}/VelmoraSpy_i.c)
add_dependencies(brevane_idl brevane_idl_gen)
target_include_directories(brevane_idl PUBLIC ${_idl_out})
