# The account library as a CMake package: after installing, find_package(CorvaneAccount) gives
# CorvaneAccount::corvane_account with its headers and the two static libraries it stands on
# (CorvaneAccount::oidc, CorvaneAccount::platform). Headers keep their paths under
# include/corvane (CorvaneAccount/…, OIDC/…, Platform/… without the hosts), as in the sources.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The package's version is the library's own, from the one place that states it.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/Foundation/CorvaneAccountLibrary.h CORVANE_VERSION_LINE
     REGEX "libVersion = \"[0-9]+\\.[0-9]+\\.[0-9]+\"")
if(NOT CORVANE_VERSION_LINE MATCHES "\"([0-9]+\\.[0-9]+\\.[0-9]+)\"")
  message(FATAL_ERROR "CorvaneAccount/Foundation/CorvaneAccountLibrary.h states no libVersion")
endif()
set(CORVANE_VERSION ${CMAKE_MATCH_1})

set(CORVANE_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/corvane)
set(CORVANE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CorvaneAccount)

install(TARGETS corvane_account oidc platform EXPORT CorvaneAccountTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CORVANE_INCLUDE_DIR})
foreach(dir CorvaneAccount OIDC Platform)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${CORVANE_INCLUDE_DIR}/${dir}
          FILES_MATCHING PATTERN "*.h"
          PATTERN "Sim" EXCLUDE PATTERN "Desktop" EXCLUDE)
endforeach()
install(EXPORT CorvaneAccountTargets NAMESPACE CorvaneAccount::
        DESTINATION ${CORVANE_PACKAGE_DIR})

configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/CorvaneAccountConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/CorvaneAccountConfig.cmake
                              INSTALL_DESTINATION ${CORVANE_PACKAGE_DIR})
# 0.9.x is compatible with 0.9.y; a new minor version may break the API.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/CorvaneAccountConfigVersion.cmake
                                 VERSION ${CORVANE_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/CorvaneAccountConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/CorvaneAccountConfigVersion.cmake
        DESTINATION ${CORVANE_PACKAGE_DIR})
