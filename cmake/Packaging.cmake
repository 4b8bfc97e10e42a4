# Debian package of tunex, built by `cpack -G DEB` from a release tree
# (scripts/check-package.sh does it and checks the result). The package
# holds what `cmake --install` puts in place, under /usr: the binary in
# sbin, the manual page in section 8, the bash and zsh completions and the
# JSON Schema of the JSON output in share/tunex and the
# documentation in share/doc/tunex. lintian finds nothing to report at
# error or warning level (scripts/check-package.sh runs it).

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

include(GNUInstallDirs)

# What a user reads: the README, the MIB image format that tunex(8) points
# to, and the copyright and changelog every Debian package carries (the
# changelog compressed as Debian wants it, reproducibly).
set(_tunex_debian ${CMAKE_CURRENT_LIST_DIR}/debian)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9 -n -c ${_tunex_debian}/changelog > ${PROJECT_BINARY_DIR}/changelog.gz
  DEPENDS ${_tunex_debian}/changelog
  VERBATIM)
add_custom_target(tunex_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES
  ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/mib/FORMAT.md
  ${_tunex_debian}/copyright
  ${PROJECT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tunex")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "tunex developers")
set(CPACK_PACKAGE_CONTACT "tunex developers <tunex@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "get or set kernel state (the sysctl MIB)")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
# Directories 0755 and files 0644 whatever the umask of the build.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_PACKAGE_NAME "tunex")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "tunex developers <tunex@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# CPack puts the summary first and indents these lines as Debian wants.
set(CPACK_PACKAGE_DESCRIPTION "tunex lists, reads and writes the kernel's state variables, the sysctl
MIB, in the manner of FreeBSD's sysctl utility: numeric OIDs, names,
labels, descriptions, types, formats, flags and values, rendered as plain
text, XML, JSON or HTML. On Linux it works against a picture of a FreeBSD
14 machine that it carries, against MIB images, or against /proc/sys.")
# Name the file name_version-release_arch.deb, as dpkg tools expect.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# The program links its own libraries statically, so what it needs from the
# system is libc (and the C++ runtime unless that was linked in too).
# dpkg-shlibdeps (package dpkg-dev) computes the exact Depends; without it
# the package declares none.
find_program(TUNEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TUNEX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found: the .deb will declare no Depends")
endif()

include(CPack)

if(TUNEX_TESTS)
  # What the package holds is what `cmake --install` puts in place: install
  # the build under /usr and under /usr/local (both into a scratch DESTDIR)
  # and look for each file where Debian's tools, man and the shells look.
  add_test(NAME install_layout
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/install_layout_test.sh
            ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/install-test)
endif()
