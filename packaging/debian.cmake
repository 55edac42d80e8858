# `cpack -G DEB` in the build folder makes the four Debian packages, split as Debian splits a
# library: nimbra-wheel (the helper, the preview tool, their manual pages), libnimbra-host1 (the
# shared library), libnimbra-host-dev (header, .so link, pkg-config and CMake files, the
# section-3 page) and python3-nimbra-host (the module). Depends of the first two are worked out
# by dpkg-shlibdeps. `cmake --install` installs the same files.
set(NIMBRA_DEB_MAINTAINER "nimbra-wheel maintainers <maintainers@nimbra-wheel.org>" CACHE STRING
  "Maintainer field of the Debian packages")
set(NIMBRA_LIB_PACKAGE libnimbra-host${NIMBRA_HOST_SOVERSION})

# Each package carries its copyright and changelog (gzip -n: the package builds the same twice).
set(NIMBRA_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
add_custom_command(OUTPUT ${NIMBRA_CHANGELOG}
  COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${NIMBRA_CHANGELOG}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${NIMBRA_CHANGELOG})
foreach(pair helper:nimbra-wheel lib:${NIMBRA_LIB_PACKAGE} dev:libnimbra-host-dev
        python:python3-nimbra-host)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${NIMBRA_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_FILE_NAME DEB-DEFAULT)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL helper lib dev python)
set(CPACK_PACKAGE_NAME nimbra-wheel)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "${NIMBRA_DEB_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# The first line of each description is its synopsis; the rest is wrapped as lintian asks.
set(CPACK_DEBIAN_HELPER_DESCRIPTION "radial menu for host applications on the X11 desktop
nimbra-wheel is a small helper that gives a host application a radial menu:
hold the right mouse button (or press Super+Alt+W) and a ring of coloured
segments opens at the pointer; the picked tool's command lands in a file the
host watches. Host and helper share nothing but a work directory of plain
files. This package holds the helper, nimbra-wheel-preview and their manual
pages.")
set(CPACK_DEBIAN_HELPER_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_HELPER_PACKAGE_RECOMMENDS "fonts-inter | fonts-cantarell")
# Its postinst applies the udev rule to the devices already there.
# The udev rule enables no hardware: lintian's AppStream modalias warning is overridden.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/nimbra-wheel.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME nimbra-wheel COMPONENT helper)
set(CPACK_DEBIAN_HELPER_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/helper/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIB_DESCRIPTION "C++ library driving the nimbra-wheel radial menu helper
libnimbra-host starts a nimbra-wheel helper on a work directory, writes its
wheel, reports every opening and pick, and stops it; the helper ends with the
program that started it. This package holds the shared library.")
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "nimbra-wheel (>= ${PROJECT_VERSION})")
# A shlibs file asking for this version or later, and the ldconfig trigger in place of
# CPack's maintainer scripts calling ldconfig.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/lib/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/drop-ldconfig-scripts.cmake)

set(CPACK_DEBIAN_DEV_DESCRIPTION "C++ library driving nimbra-wheel - development files
libnimbra-host starts a nimbra-wheel helper on a work directory, writes its
wheel, reports every opening and pick, and stops it. This package holds the
header, the pkg-config and CMake package files and the nimbra-host(3) manual
page.")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${NIMBRA_LIB_PACKAGE} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python module driving the nimbra-wheel radial menu helper
nimbra_host starts a nimbra-wheel helper on a work directory, writes its wheel,
reports every opening and pick, and stops it; the helper ends with the program
that started it. It needs nothing beyond the standard library.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any (>= 3.11), nimbra-wheel (>= ${PROJECT_VERSION})")
include(CPack)
