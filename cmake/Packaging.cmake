# What an installation holds, and the Debian package built from it: the binary,
# both service units, the manual page, and the documents Debian asks for.
include(GNUInstallDirs)

# The units name the binary where this configuration installs it, so the
# package and its units always agree.
set(ZORVANDELITH_INSTALLED_BINARY ${CMAKE_INSTALL_FULL_SBINDIR}/zorvandelith)
configure_file(packaging/zorvandelith.service.in packaging/zorvandelith.service @ONLY)
configure_file(packaging/zorvandelith-user.service.in packaging/user/zorvandelith.service @ONLY)
configure_file(packaging/zorvandelith-peer.service.in packaging/examples/zorvandelith-peer.service @ONLY)

# Debian installs system units beside the system's own; elsewhere they go under the prefix.
set(ZORVANDELITH_SYSTEM_UNIT_DIR lib/systemd/system CACHE STRING "Where the system unit is installed")
set(ZORVANDELITH_USER_UNIT_DIR lib/systemd/user CACHE STRING "Where the user unit is installed")
# The system user and the directory of the system service's names, which the
# system unit uses and systemd makes at boot.
set(ZORVANDELITH_SYSUSERS_DIR lib/sysusers.d CACHE STRING "Where the system user's declaration is installed")
set(ZORVANDELITH_TMPFILES_DIR lib/tmpfiles.d CACHE STRING "Where the names' directory's declaration is installed")

# Manual pages and changelogs are shipped compressed, reproducibly (no name, no time stamp).
set(ZORVANDELITH_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/zorvandelith)
function(zorvandelith_gzip source output)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9nc ${source} > ${output} DEPENDS ${source} VERBATIM)
endfunction()
zorvandelith_gzip(${PROJECT_SOURCE_DIR}/packaging/zorvandelith.8 ${PROJECT_BINARY_DIR}/packaging/zorvandelith.8.gz)
zorvandelith_gzip(${PROJECT_SOURCE_DIR}/packaging/rtroot.1 ${PROJECT_BINARY_DIR}/packaging/rtroot.1.gz)
zorvandelith_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_target(zorvandelith_compressed_docs ALL
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/zorvandelith.8.gz ${PROJECT_BINARY_DIR}/packaging/rtroot.1.gz
          ${PROJECT_BINARY_DIR}/packaging/changelog.gz)


install(TARGETS zorvandelith RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS rtroot RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/zorvandelith.service DESTINATION ${ZORVANDELITH_SYSTEM_UNIT_DIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/user/zorvandelith.service DESTINATION ${ZORVANDELITH_USER_UNIT_DIR})
install(FILES packaging/zorvandelith.sysusers DESTINATION ${ZORVANDELITH_SYSUSERS_DIR} RENAME zorvandelith.conf)
install(FILES packaging/zorvandelith.tmpfiles DESTINATION ${ZORVANDELITH_TMPFILES_DIR} RENAME zorvandelith.conf)
install(FILES ${PROJECT_BINARY_DIR}/packaging/zorvandelith.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_BINARY_DIR}/packaging/rtroot.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz packaging/debian/copyright
        DESTINATION ${ZORVANDELITH_DOC_DIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/examples/zorvandelith-peer.service
        DESTINATION ${ZORVANDELITH_DOC_DIR}/examples)
install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME zorvandelith)

set(CPACK_PACKAGE_NAME zorvandelith)
set(CPACK_PACKAGE_VENDOR "Zorvandelith developers")
set(CPACK_PACKAGE_CONTACT "Zorvandelith developers <zorvandelith-devel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "resident service process on a hosted real-time kernel")
# The extended description; CPack puts the summary above it and indents each line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Zorvandelith starts, registers its main thread and itself by name in object
directories shared by all processes of the user, replacing a name left behind
by a process that no longer exists, and waits until it is told to end. It then
shuts down in order, removes its name and exits.
.
The package ships the service for Linux hosts, a system unit that runs it
under a system user of its own in a sandbox, a user unit, and rtroot, which
lists, waits for and cleans the names.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The architecture of the binaries, not of the machine that packs them.
if(ZORVANDELITH_DEBIAN_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZORVANDELITH_DEBIAN_ARCH})
elseif(CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "Cross build without ZORVANDELITH_DEBIAN_ARCH: the package would name the wrong architecture")
endif()
if(CMAKE_CROSSCOMPILING)
  # The Depends of binaries for another CPU are the target's packages (see the file).
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CrossDepends.cmake)
  set(CPACK_ZORVANDELITH_TRIPLET ${ZORVANDELITH_TRIPLET})
  set(CPACK_ZORVANDELITH_BINARY_DIR ${PROJECT_BINARY_DIR})
  set(CPACK_ZORVANDELITH_BINARIES ${PROJECT_BINARY_DIR}/zorvandelith ${PROJECT_BINARY_DIR}/tools/rtroot/rtroot)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/zorvandelith")
# The dependencies are computed from the binary itself: the release binary is
# linked statically and needs none; a dynamically linked one gets its own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shipped binary is stripped when it is built (ZORVANDELITH_SPLIT_DEBUG):
# its symbols stay beside it in the build tree, linked by name and build id.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
