# nmb_add_test(<name> [LIBS ...] [LABELS ...] [TIMEOUT s] [SOURCES ...])
# Builds <name>.cpp (plus SOURCES) as a QtTest executable linked with
# Qt6::Test and nmb::test_support, and registers it with CTest. Every test
# runs with the offscreen platform so widget tests need no display.
function(nmb_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;LABELS;SOURCES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 30)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  add_executable(${name} ${name}.cpp ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test nmb::test_support ${ARG_LIBS})
  target_compile_definitions(${name} PRIVATE QT_FORCE_ASSERTS)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
  nmb_set_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    LABELS "${ARG_LABELS}"
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;NMB_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()
