# Installation files and the Debian package. Included from the top-level CMakeLists.txt before
# GNUInstallDirs, so the default prefix is the one the package installs into.
#
# `make package` (the CPack "package" target) builds build/halvex_<version>_amd64.deb from the very
# install rules `cmake --install` runs: the programs, the user units, the desktop files and icons, the
# presets, and the documentation made here (man pages and bash completion filled in from the table
# of settable keys by halvex-keydoc, so they cannot drift from the code).

# The user units and desktop entries name the installed programs by their full path; a build meant
# to be installed like a distribution's own package lives under /usr.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
# Under /usr, configuration such as the session's autostart entries lives in /etc, as in every
# Debian package (GNUInstallDirs would say /usr/etc for a relative path).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND "$CACHE{CMAKE_INSTALL_SYSCONFDIR}" MATCHES "^(etc)?$")
  set(CMAKE_INSTALL_SYSCONFDIR /etc CACHE PATH "Read-only single-machine data (etc)" FORCE)
endif()

set(HALVEX_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
# The project's own address, as in the copyright file's Upstream-Contact.
set(HALVEX_MAINTAINER "Halvex developers <maintainers@halvex.org>"
    CACHE STRING "Maintainer field of the Debian package and its changelog")

add_subdirectory(${HALVEX_PACKAGING_DIR}/keydoc ${CMAKE_BINARY_DIR}/packaging/keydoc)

# Everything below needs the targets and install directories of the whole tree.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL include ${HALVEX_PACKAGING_DIR}/package_rules.cmake)
