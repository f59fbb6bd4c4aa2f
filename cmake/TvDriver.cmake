# Driver code (core/, bridge/, usb/) is built as static libraries with hidden symbols; module/
# links them into the loadable module, tests link them directly. Driver code sees only platform/,
# whose services come from the simulated device's shared library tvsim.
function(tv_driver_library name)
  add_library(${name} STATIC ${ARGN})
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti -Wshadow -Wconversion -Wno-sign-conversion)
  target_link_libraries(${name} PUBLIC tvsim)
endfunction()

# A GoogleTest executable whose tests CTest discovers when the tests run, labelled with the folder
# of tests/ they come from (core, bridge, usb, lifecycle, e2e, sim_os, ...), so that a preset can
# pick suites by label.
function(tv_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main)
  if(WIN32)
    # Under Wine every test process shares the prefix's one registry, and tests clear and rewrite
    # the device's keys: they take turns.
    set(lock RESOURCE_LOCK wine_registry)
  endif()
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 LABELS ${folder} ${lock})
endfunction()
