# SPDX-License-Identifier: MIT
# Packages, made by cpack from the install rules' components:
#   Linux:   cpack -G DEB  three Debian packages:
#            libbrennic-filedup-find<SOVERSION>  the shared library
#            libbrennic-filedup-find-dev         header, CMake package, pkg-config file
#            dupfind                             the tool, its manual page and completions
#   Windows: cpack -G ZIP  one zip: the DLL, its import library, the header, dupfind.exe
# Configure with -DCMAKE_INSTALL_PREFIX=/usr -DDUPFIND_INSTALL_RPATH=OFF for
# Debian packages (scripts/test.sh package does).

set(DUPFIND_SOVERSION 1)
set(CPACK_PACKAGE_NAME brennic-filedup-find)
set(CPACK_PACKAGE_VENDOR "the brennic-filedup-find authors")
set(CPACK_PACKAGE_CONTACT "the brennic-filedup-find authors <brennic-filedup-find@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find files with identical content")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_COMPONENTS_ALL library development tool)
  set(CPACK_PACKAGE_FILE_NAME brennic-filedup-find-${PROJECT_VERSION}-windows-x64)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION . COMPONENT library)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL library development tool)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SOURCE brennic-filedup-find)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/brennic/filedup-find")
  # Dependencies on system libraries come from dpkg-shlibdeps; those among
  # these packages from the components' own dependencies.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

  # The library package is named after the SONAME, as Debian names them, so
  # that a new major version installs beside this one; its shlibs file lets
  # others depend on it, and ldconfig runs through the trigger cpack adds.
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libbrennic-filedup-find${DUPFIND_SOVERSION})
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
  # (Only the library package holds a shared library, so the shlibs setting
  # can be the packages' common one.)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "find files with identical content - shared library
The library walks directory trees in a worker thread and groups the regular
files whose content is identical, through a C interface of seven functions.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libbrennic-filedup-find-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "find files with identical content - development files
The header dupfind.h, the CMake package (find_package(brennic-filedup-find),
target brennic::filedup-find) and the pkg-config file of the library.")

  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME dupfind)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
  set(CPACK_COMPONENT_TOOL_DEPENDS library)
  set(CPACK_DEBIAN_TOOL_DESCRIPTION "find files with identical content and remove or link the copies
dupfind lists the groups of files with identical content below the
directories given, and can remove the copies or replace them with hard
links or reflinks. With its manual page and bash and zsh completions.")

  # Each package carries the licence as Debian wants it, and a Debian
  # changelog; its date is the build's (or SOURCE_DATE_EPOCH's).
  string(TIMESTAMP DUPFIND_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  foreach(component library development tool)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(doc ${PROJECT_BINARY_DIR}/debian-doc/${package})
    file(WRITE ${doc}/changelog.Debian
      "brennic-filedup-find (${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}) unstable; urgency=medium\n\n"
      "  * Version ${PROJECT_VERSION}; CHANGELOG.md of the sources lists the changes.\n\n"
      " -- ${CPACK_PACKAGE_CONTACT}  ${DUPFIND_DEB_DATE}\n")
    execute_process(COMMAND gzip -9 -n -f ${doc}/changelog.Debian)
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
    file(WRITE ${doc}/copyright
      "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
      "Upstream-Name: brennic-filedup-find\n\n"
      "Files: *\nCopyright: 2026 the brennic-filedup-find authors\nLicense: MIT\n\n"
      "License: MIT\n")
    string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" license "${license}")
    string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
    string(REGEX REPLACE "\n([^\n])" "\n \\1" license "${license}")
    file(APPEND ${doc}/copyright " ${license}")
    install(FILES ${doc}/copyright ${doc}/changelog.Debian.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
  # Manual pages go compressed into packages.
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/compress-manual.cmake)
endif()

include(CPack)
