# Installation: the library, its headers, the launcher and its manual page, a CMake package and a
# pkg-config file; and a Debian package of all of it through CPack.
include(CMakePackageConfigHelpers)

install(TARGETS pexpect_custom EXPORT pexpect_custom_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The GoogleTest header goes with its own target, only where GoogleTest is.
install(DIRECTORY pexpect_custom/include/pexpect_custom ${PROJECT_BINARY_DIR}/generated/pexpect_custom
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} PATTERN gtest.hpp EXCLUDE)
install(TARGETS launcher RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The page's footer names the version.
configure_file(man/launcher.1 ${PROJECT_BINARY_DIR}/man/launcher.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/man/launcher.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(PEXPECT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pexpect_custom)
install(EXPORT pexpect_custom_targets NAMESPACE pexpect_custom:: DESTINATION ${PEXPECT_CMAKE_DIR}
        FILE pexpect_custom-targets.cmake)
configure_package_config_file(cmake/pexpect_custom-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/pexpect_custom-config.cmake INSTALL_DESTINATION ${PEXPECT_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/pexpect_custom-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pexpect_custom-config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/pexpect_custom-config-version.cmake
        DESTINATION ${PEXPECT_CMAKE_DIR})

# The prefix is found relative to the .pc file, so the installed tree can be moved.
file(RELATIVE_PATH PEXPECT_PC_UP "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/pexpect_custom.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pexpect_custom.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pexpect_custom.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The package is made only where this is the project being built: CPack's settings are global and
# would replace those of a project that adds this one.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
set(CPACK_PACKAGE_NAME pexpect-custom)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "pexpect_custom developers")
set(CPACK_PACKAGE_CONTACT "pexpect_custom developers <maintainers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "launcher and pexpect_custom: run programs on a pseudo-terminal")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpcre2-dev, libvterm-dev, libssh-dev")
set(CPACK_GENERATOR DEB)
include(CPack)
