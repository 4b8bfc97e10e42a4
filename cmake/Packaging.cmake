# Debian package of tunex, built by `cpack -G DEB` from a release tree
# (scripts/check-package.sh does it and checks the result). The package
# holds what `cmake --install` puts in place, under /usr: the binary in
# sbin, the manual page in section 8, the bash and zsh completions and the
# JSON Schema of the JSON output in share/tunex.

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tunex")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "tunex developers")
set(CPACK_PACKAGE_CONTACT "tunex developers <tunex@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "get or set kernel state (the sysctl MIB)")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

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
  # the build into a scratch prefix and look for each file where a Debian
  # system expects it.
  set(_tunex_installed
    sbin/tunex
    share/man/man8/tunex.8.gz
    share/bash-completion/completions/tunex
    share/zsh/vendor-completions/_tunex
    share/tunex/tunex.schema.json)
  string(JOIN " " _tunex_installed ${_tunex_installed})
  add_test(NAME install_layout
    COMMAND sh -c "rm -rf \"$1\" && ${CMAKE_COMMAND} --install \"$2\" --prefix \"$1\" >/dev/null || exit 1
                   for f in ${_tunex_installed}; do
                     [ -f \"$1/$f\" ] || { echo \"cmake --install put no $f under $1\"; exit 1; }
                   done
                   echo \"installed: ${_tunex_installed}\""
            sh ${PROJECT_BINARY_DIR}/install-test ${PROJECT_BINARY_DIR})
endif()
