# The Windows build (cross-built with mingw-w64, see cmake/mingw-w64.cmake).

# Tests and tools run under Wine with a prefix of their own inside the build folder, without
# prompts for optional Wine components (cmake/wine-run.sh).
if(CMAKE_CROSSCOMPILING)
  find_program(TV_WINE wine REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh
      ${CMAKE_BINARY_DIR}/wineprefix)
endif()

# GoogleTest from the sources the build machine ships (its packaged libraries are Linux ones),
# built before the warnings-as-errors options of our own code.
set(TV_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${TV_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# CLI11 and nlohmann-json are header-only: their headers from the build machine, through a folder
# that holds only them (the machine's /usr/include as a whole would hide the Windows headers).
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

# The MinGW runtime libraries beside the programs, so that they start without a search path.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${dll} of the MinGW runtime not found")
  endif()
  file(COPY ${path} DESTINATION ${CMAKE_BINARY_DIR}/bin FOLLOW_SYMLINK_CHAIN)
endforeach()
