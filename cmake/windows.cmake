# What the Windows build takes from the build machine. The header-only JSON library is the
# host's own package, but its folder /usr/include also holds the host's C library headers,
# which must not reach the cross compiler: a folder of the build holds a link to the library's
# headers alone.
find_path(KVR_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          NO_DEFAULT_PATH)
if(NOT KVR_NLOHMANN_INCLUDE)
    message(FATAL_ERROR "nlohmann JSON library not found: apt-get install nlohmann-json3-dev")
endif()
set(kvr_json_include ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${kvr_json_include})
file(CREATE_LINK ${KVR_NLOHMANN_INCLUDE}/nlohmann ${kvr_json_include}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                      INTERFACE_INCLUDE_DIRECTORIES ${kvr_json_include})

# A Windows program's header carries the time it was linked unless told not to: the same
# source then gives the same bytes.
add_link_options(-Wl,--no-insert-timestamp)
