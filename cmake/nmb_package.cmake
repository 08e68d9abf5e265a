# Manual pages of every installed program, and the Debian packages that
# `cpack -G DEB` makes in the build tree: nimbra (programs, libraries, manual
# pages) and nimbra-dev (headers, CMake package, pkg-config files). Included
# once every program is defined.
option(NMB_MAN_PAGES "Generate a manual page per installed program with help2man" ON)
set(NMB_PACKAGE_MAINTAINER "Nimbra developers <nimbra@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")

get_property(NMB_PROGRAMS GLOBAL PROPERTY NMB_PROGRAMS)
set(NMB_PACKAGE_DIR "${CMAKE_CURRENT_LIST_DIR}/package")

if(NMB_MAN_PAGES)
  find_program(NMB_HELP2MAN help2man)
  find_program(NMB_GZIP gzip REQUIRED)
  if(NOT NMB_HELP2MAN)
    message(FATAL_ERROR "help2man is missing: run scripts/setup.sh, or configure with -DNMB_MAN_PAGES=OFF")
  endif()
  set(pages "")
  foreach(program IN LISTS NMB_PROGRAMS)
    set(page "${CMAKE_BINARY_DIR}/man/man1/${program}.1.gz")
    # A program may add sections of its own in <program>.h2m next to its
    # CMakeLists.txt.
    get_target_property(source_dir ${program} SOURCE_DIR)
    set(includes "${NMB_PACKAGE_DIR}/exit_status.h2m")
    if(EXISTS "${source_dir}/${program}.h2m")
      list(APPEND includes "${source_dir}/${program}.h2m")
    endif()
    string(REPLACE ";" "$<SEMICOLON>" include_argument "${includes}")
    add_custom_command(OUTPUT "${page}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/man/man1"
      COMMAND "${CMAKE_COMMAND}" -E env QT_QPA_PLATFORM=offscreen
              "${CMAKE_COMMAND}" "-DPROGRAM=$<TARGET_FILE:${program}>" "-DOUTPUT=${page}"
              "-DINCLUDES=${include_argument}" "-DHELP2MAN=${NMB_HELP2MAN}" "-DGZIP=${NMB_GZIP}"
              -P "${CMAKE_CURRENT_LIST_DIR}/nmb_man_page.cmake"
      DEPENDS ${program} ${includes} "${CMAKE_CURRENT_LIST_DIR}/nmb_man_page.cmake"
      COMMENT "Manual page of ${program}"
      VERBATIM)
    list(APPEND pages "${page}")
  endforeach()
  add_custom_target(nmb_man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endif()

# Debian wants a copyright file and a changelog in each package's doc
# directory; they go into the packages only, not into a plain install.
string(TIMESTAMP NMB_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(package nimbra nimbra-dev)
  set(NMB_PACKAGE_NAME ${package})
  configure_file("${NMB_PACKAGE_DIR}/changelog.in" "${CMAKE_BINARY_DIR}/package/${package}/changelog" @ONLY)
  execute_process(COMMAND gzip -9nf "${CMAKE_BINARY_DIR}/package/${package}/changelog")
endforeach()
install(FILES "${NMB_PACKAGE_DIR}/copyright" "${CMAKE_BINARY_DIR}/package/nimbra/changelog.gz"
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/nimbra COMPONENT runtime EXCLUDE_FROM_ALL)
install(FILES "${NMB_PACKAGE_DIR}/copyright" "${CMAKE_BINARY_DIR}/package/nimbra-dev/changelog.gz"
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/nimbra-dev COMPONENT development EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbra)
set(CPACK_PACKAGE_VENDOR "Nimbra developers")
set(CPACK_PACKAGE_CONTACT "${NMB_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Under /usr the programs are on the PATH, and their relative RUNPATH
# ($ORIGIN/../lib/linux/<processor>) still points at the libraries.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME nimbra)
# The synopsis of both packages is the project's description; these are
# the extended descriptions.
# The program list, wrapped as Debian wants extended descriptions.
set(NMB_PROGRAM_LIST "Programs:")
set(line "${NMB_PROGRAM_LIST}")
foreach(program IN LISTS NMB_PROGRAMS)
  string(LENGTH "${line} ${program}," length)
  if(length GREATER 79)
    string(APPEND NMB_PROGRAM_LIST "\n${program},")
    set(line "${program},")
  else()
    string(APPEND NMB_PROGRAM_LIST " ${program},")
    string(APPEND line " ${program},")
  endif()
endforeach()
string(REGEX REPLACE ",$" "." NMB_PROGRAM_LIST "${NMB_PROGRAM_LIST}")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Tools for a motion-capture stream of binary frames over UDP: record it,
replay recordings with the timing of their frames, forward live poses to a
WebSocket pose service and watch the joints live; a synthetic source and a
stand-in pose service for tests, and the shared libraries the programs are
built on.
.
${NMB_PROGRAM_LIST}")
# Runtime dependencies come from the binaries (dpkg-shlibdeps); our own
# libraries are found through the programs' RUNPATH inside the package.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME nimbra-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "nimbra (= ${PROJECT_VERSION}), qt6-base-dev (>= ${Qt6_VERSION_MAJOR}.${Qt6_VERSION_MINOR}), qt6-websockets-dev, qt6-connectivity-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Development files of the nimbra libraries: headers, the CMake package
Nimbra (find_package(Nimbra 1.0 COMPONENTS ...)) and one pkg-config file per
library, for building programs of your own against the console, recording
and transport adapter libraries.")
include(CPack)
