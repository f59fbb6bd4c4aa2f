# For builds whose target the build machine has no compiled libraries for (Windows, 32-bit Linux):
# GoogleTest and GoogleMock from the sources the build machine ships, built before the
# warnings-as-errors options of our own code, and the header-only libraries (CLI11, nlohmann-json)
# from the build machine through a folder that holds only them (the machine's /usr/include as a
# whole would hide the target's own headers). Google Benchmark is a compiled library: such builds
# leave out bench/.
set(TV_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${TV_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(TV_HOST_INCLUDE /usr/include CACHE PATH "Folder holding CLI/ and nlohmann/")
set(header_dir ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${header_dir})
foreach(name CLI nlohmann)
  if(NOT EXISTS ${header_dir}/${name})
    file(CREATE_LINK ${TV_HOST_INCLUDE}/${name} ${header_dir}/${name} SYMBOLIC)
  endif()
endforeach()
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${header_dir})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${header_dir})
set(CLI11_FOUND TRUE)
set(nlohmann_json_FOUND TRUE)
