# The Debian packages, one per install component (`cpack -G DEB` in a build for prefix /usr, as
# `make package` does):
#   libzkdict1      runtime      the shared libraries libzkdict.so.1 and libzklib.so.1
#   libzkdict-dev   development  headers, link libraries (shared and, with ZKDICT_STATIC_TOO, static),
#                                CMake and pkg-config files
#   zkdict-tools    tools        the zkdict command and its manual page
# Each carries the licence as a machine-readable copyright file and the Debian changelog.

# The package's version and Debian revision come from the latest changelog entry, which must be for
# the project's version.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog zk_changelog_head LIMIT_COUNT 1)
if(NOT zk_changelog_head MATCHES "^libzkdict \\(([^-]+)-([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: the first line names no libzkdict version")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(WARNING "packaging/changelog: the latest entry is for ${CMAKE_MATCH_1}, the project is "
                  "${PROJECT_VERSION}; add an entry before making packages")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})

# Debian wants every file under /usr/share/doc compressed with gzip -9n: no name, no time stamp.
find_program(ZK_GZIP gzip REQUIRED)
execute_process(COMMAND ${ZK_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/packaging/changelog)

set(zk_components runtime development tools)
set(zk_packages libzkdict1 libzkdict-dev zkdict-tools)
set(zk_sections libs libdevel utils)
set(zk_summaries
  "compact dictionary structures with a C ABI - shared libraries"
  "compact dictionary structures with a C ABI - development files"
  "command-line tool for libzkdict's dictionary and table files")
# Debian's descriptions are wrapped by hand, at most 80 columns.
set(zk_about "libzkdict keeps keys compactly: static dictionaries built by perfect hashing
(a few bits per key, memory-mapped from a file), packed hash tables, integer
maps, ordered trees, attribute dictionaries and a memory cache, all behind a
plain C interface.")
set(zk_details
  "This package contains the shared libraries libzkdict and libzklib, the base
layer it is built on."
  "This package contains the C headers, the header-only C++20 layer, the static
libraries, and the files with which CMake (find_package) and pkg-config find
the library."
  "This package contains zkdict, which builds static dictionaries and hash table
files from lists of keys, looks keys up in them, and inspects the files of
attribute dictionaries.")

foreach(component package section summary detail IN ZIP_LISTS
        zk_components zk_packages zk_sections zk_summaries zk_details)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${summary}\n${zk_about}\n.\n${detail}")
  # Only in the packages: a plain install gets LICENSE instead (see the install rules).
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libzkdict)
set(CPACK_PACKAGE_VENDOR "The libzkdict authors")
set(CPACK_PACKAGE_CONTACT "The libzkdict authors <libzkdict@example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${zk_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE libzkdict)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Dependencies on other packages come from the binaries (dpkg-shlibdeps); on our own library package,
# at exactly this version, from the components. dpkg-shlibdeps finds our libraries in the build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# The static libzklib.a links xxHash into the program.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS libxxhash-dev)

# The library package declares its sonames (shlibs), so that other packages' dpkg-shlibdeps can depend
# on it, and has dpkg run ldconfig through a trigger; CPack's own way, postinst and postrm scripts
# that call ldconfig, is taken out of the built package again (cmake/deb_ldconfig_trigger.cmake).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_ldconfig_trigger.cmake)
set(CPACK_ZKDICT_TRIGGER_PACKAGE libzkdict1)

include(CPack)
