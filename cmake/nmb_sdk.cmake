# The SDK in the install tree: the CMake package "Nimbra" with one imported
# target Nimbra::<name> per library, and one pkg-config file per library.
# Both find everything relative to themselves, so an installed tree can be
# moved. Included once every library is defined.
include(CMakePackageConfigHelpers)

set(NMB_CMAKE_PACKAGE_DIR "${NMB_INSTALL_LIBDIR}/cmake/Nimbra")
set(NMB_PKGCONFIG_DIR "${NMB_INSTALL_LIBDIR}/pkgconfig")
set(NMB_SDK_DIR "${CMAKE_BINARY_DIR}/sdk")
get_property(NMB_LIBRARIES GLOBAL PROPERTY NMB_LIBRARIES)

# Only Qt modules may be public dependencies: what a library's headers
# include. They become find_dependency(Qt6 ...) and pkg-config "Requires".
file(RELATIVE_PATH NMB_PC_PREFIX_FROM_PCFILEDIR "/root/${NMB_PKGCONFIG_DIR}" "/root")
string(REGEX REPLACE "/$" "" NMB_PC_PREFIX_FROM_PCFILEDIR "${NMB_PC_PREFIX_FROM_PCFILEDIR}")
set(NMB_SDK_QT_MODULES "")
foreach(name IN LISTS NMB_LIBRARIES)
  get_target_property(public_libs nimbra_${name} NMB_PUBLIC_LIBS)
  set(qt_modules "")
  set(NMB_PC_REQUIRES "")
  foreach(lib IN LISTS public_libs)
    if(NOT lib MATCHES "^Qt6::(.+)$")
      message(FATAL_ERROR "nimbra_${name}: public dependency ${lib} is not a Qt module")
    endif()
    list(APPEND qt_modules ${CMAKE_MATCH_1})
    list(APPEND NMB_PC_REQUIRES "Qt6${CMAKE_MATCH_1} >= ${Qt6_VERSION_MAJOR}.${Qt6_VERSION_MINOR}")
  endforeach()
  list(JOIN NMB_PC_REQUIRES ", " NMB_PC_REQUIRES)
  string(APPEND NMB_SDK_QT_MODULES "set(_nimbra_${name}_qt_modules ${qt_modules})\n")
  set(NMB_PC_NAME nimbra_${name})
  configure_file("${CMAKE_CURRENT_LIST_DIR}/sdk/nimbra.pc.in"
                 "${NMB_SDK_DIR}/pkgconfig/nimbra_${name}.pc" @ONLY)
  install(FILES "${NMB_SDK_DIR}/pkgconfig/nimbra_${name}.pc"
    DESTINATION ${NMB_PKGCONFIG_DIR} COMPONENT development)
endforeach()

install(EXPORT NimbraTargets NAMESPACE Nimbra::
  DESTINATION ${NMB_CMAKE_PACKAGE_DIR} COMPONENT development)
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/sdk/NimbraConfig.cmake.in"
  "${NMB_SDK_DIR}/NimbraConfig.cmake"
  INSTALL_DESTINATION ${NMB_CMAKE_PACKAGE_DIR})
write_basic_package_version_file("${NMB_SDK_DIR}/NimbraConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES "${NMB_SDK_DIR}/NimbraConfig.cmake" "${NMB_SDK_DIR}/NimbraConfigVersion.cmake"
  DESTINATION ${NMB_CMAKE_PACKAGE_DIR} COMPONENT development)

# CMake looks for packages in <prefix>/lib/cmake/<name>/ but not below
# lib/linux/<processor>/, so small forwarders there make
# CMAKE_PREFIX_PATH=<prefix> (and /usr, for the Debian package) enough.
file(RELATIVE_PATH NMB_FORWARD_TO "/root/lib/cmake/Nimbra" "/root/${NMB_CMAKE_PACKAGE_DIR}")
foreach(file NimbraConfig.cmake NimbraConfigVersion.cmake)
  file(WRITE "${NMB_SDK_DIR}/forward/${file}"
    "# The package lives next to the libraries.\n"
    "include(\"\${CMAKE_CURRENT_LIST_DIR}/${NMB_FORWARD_TO}/${file}\")\n")
  install(FILES "${NMB_SDK_DIR}/forward/${file}"
    DESTINATION lib/cmake/Nimbra COMPONENT development)
endforeach()
