# The product version from the project version and VELMORA_BUILD_NUMBER as a
# header (target velmora_version, include <VelmoraVersion.h>) for the version
# resource and for tests that compare against it.
set(_ver_out ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/VelmoraVersion.h.in ${_ver_out}/VelmoraVersion.h @ONLY)
add_library(velmora_version INTERFACE)
target_include_directories(velmora_version INTERFACE ${_ver_out})
