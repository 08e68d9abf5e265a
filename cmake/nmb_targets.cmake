# Target helpers: every library and program of the suite is made here, so
# visibility, sonames, RPATHs and warnings are set the same way everywhere.
include(GenerateExportHeader)

set(NMB_INSTALL_LIBDIR "lib/linux/${CMAKE_SYSTEM_PROCESSOR}")
# Whatever a module installs without naming a component belongs with the
# programs: it goes into the nimbra package (cmake/nmb_package.cmake).
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME runtime)

function(nmb_set_warnings target)
  if(NMB_DEV_WARNINGS)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
  endif()
  if(NMB_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# nmb_add_library(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Makes the shared library libnimbra_<name>.so.1 with the alias nmb::<name>,
# hidden visibility and the export header <nmb/<name>_export.h>
# (macro NMB_<NAME>_EXPORT). Installed, it is Nimbra::<name> of the CMake
# package and nimbra_<name> of pkg-config (cmake/nmb_sdk.cmake).
function(nmb_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  set(target nimbra_${name})
  add_library(${target} SHARED ${ARG_SOURCES})
  add_library(nmb::${name} ALIAS ${target})
  string(TOUPPER "NMB_${name}" base)
  generate_export_header(${target}
    BASE_NAME ${base}
    EXPORT_FILE_NAME "${CMAKE_CURRENT_BINARY_DIR}/include/nmb/${name}_export.h")
  target_include_directories(${target} PUBLIC
    "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>"
    "$<BUILD_INTERFACE:${CMAKE_CURRENT_BINARY_DIR}/include>"
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${name}
    NMB_PUBLIC_LIBS "${ARG_PUBLIC_LIBS}"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    INSTALL_RPATH "$ORIGIN;$ORIGIN/../lib")
  nmb_set_warnings(${target})
  # The versioned library is what programs need; the unversioned link, the
  # headers and the CMake and pkg-config files are for building against it.
  install(TARGETS ${target} EXPORT NimbraTargets
    LIBRARY DESTINATION ${NMB_INSTALL_LIBDIR}
      COMPONENT runtime NAMELINK_COMPONENT development)
  install(DIRECTORY include/nmb "${CMAKE_CURRENT_BINARY_DIR}/include/nmb"
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
  set_property(GLOBAL APPEND PROPERTY NMB_LIBRARIES ${name})
endfunction()

# nmb_add_core(<name> SOURCES ... [PUBLIC_LIBS ...])
# A static library holding a program's logic, linked by the program and its
# tests. Headers in src/ are reachable as "<file>.h".
function(nmb_add_core name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  add_library(nmb::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  nmb_set_warnings(${name})
endfunction()

# nmb_add_program(<target> SOURCES ... [LIBS ...] [NO_INSTALL])
# A program installed into <prefix>/bin that finds our libraries through its
# relative RUNPATH.
function(nmb_add_program target)
  cmake_parse_arguments(ARG "NO_INSTALL" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  set_target_properties(${target} PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${NMB_INSTALL_LIBDIR}")
  nmb_set_warnings(${target})
  if(NOT ARG_NO_INSTALL)
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    # Every installed program gets a manual page and joins the package.
    set_property(GLOBAL APPEND PROPERTY NMB_PROGRAMS ${target})
  endif()
endfunction()
