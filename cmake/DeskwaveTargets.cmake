# deskwave_library(NAME SOURCES ... DEPS ...): one static library per subsystem folder.
function(deskwave_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(deskwave_${name} STATIC ${ARG_SOURCES})
  target_include_directories(deskwave_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(deskwave_${name} PUBLIC ${ARG_DEPS})
endfunction()

# deskwave_test(NAME SOURCES ... DEPS ...): one GoogleTest executable, registered with CTest.
function(deskwave_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} deskwave_test_support GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "DESKWAVE_TEST=1")
endfunction()
