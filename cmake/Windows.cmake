# The Windows build (cross-built with mingw-w64, see cmake/mingw-w64.cmake).

# Tests and tools run under Wine with a prefix of their own inside the build folder, without
# prompts for optional Wine components (cmake/wine-run.sh).
if(CMAKE_CROSSCOMPILING)
  find_program(TV_WINE wine REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh
      ${CMAKE_BINARY_DIR}/wineprefix)
endif()

# GoogleTest and the header-only libraries (cmake/FromSources.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/FromSources.cmake)

# The MinGW runtime libraries beside the programs, so that they start without a search path.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${dll} of the MinGW runtime not found")
  endif()
  file(COPY ${path} DESTINATION ${CMAKE_BINARY_DIR}/bin FOLLOW_SYMLINK_CHAIN)
endforeach()
