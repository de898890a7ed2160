# What an installation holds: both binaries, the service units, the system
# user's and the names' directory's declarations, the manual pages, the
# example unit, an init script and its log's rotation. The Debian package (debian/) installs exactly this and adds
# what only a package has: changelog, copyright, maintainer scripts.
include(GNUInstallDirs)

# The units name the binary where this configuration installs it, so the
# package and its units always agree.
set(ZORVANDELITH_INSTALLED_BINARY ${CMAKE_INSTALL_FULL_SBINDIR}/zorvandelith)
configure_file(packaging/zorvandelith.service.in packaging/zorvandelith.service @ONLY)
configure_file(packaging/zorvandelith-user.service.in packaging/user/zorvandelith.service @ONLY)
configure_file(packaging/zorvandelith-peer.service.in packaging/examples/zorvandelith-peer.service @ONLY)
set(ZORVANDELITH_INSTALLED_RTROOT ${CMAKE_INSTALL_FULL_BINDIR}/rtroot)
configure_file(packaging/zorvandelith.init.in packaging/zorvandelith.init @ONLY)

# Debian installs system units beside the system's own; elsewhere they go under the prefix.
set(ZORVANDELITH_SYSTEM_UNIT_DIR lib/systemd/system CACHE STRING "Where the system unit is installed")
set(ZORVANDELITH_USER_UNIT_DIR lib/systemd/user CACHE STRING "Where the user unit is installed")
# The system user and the directory of the system service's names, which the
# system unit uses and systemd makes at boot.
set(ZORVANDELITH_SYSUSERS_DIR lib/sysusers.d CACHE STRING "Where the system user's declaration is installed")
set(ZORVANDELITH_TMPFILES_DIR lib/tmpfiles.d CACHE STRING "Where the names' directory's declaration is installed")

# Manual pages are installed compressed, reproducibly (no name, no time stamp).
set(ZORVANDELITH_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/zorvandelith)
function(zorvandelith_gzip source output)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9nc ${source} > ${output} DEPENDS ${source} VERBATIM)
endfunction()
zorvandelith_gzip(${PROJECT_SOURCE_DIR}/packaging/zorvandelith.8 ${PROJECT_BINARY_DIR}/packaging/zorvandelith.8.gz)
zorvandelith_gzip(${PROJECT_SOURCE_DIR}/packaging/rtroot.1 ${PROJECT_BINARY_DIR}/packaging/rtroot.1.gz)
zorvandelith_gzip(${PROJECT_SOURCE_DIR}/packaging/zorvandelith-root.7 ${PROJECT_BINARY_DIR}/packaging/zorvandelith-root.7.gz)
add_custom_target(zorvandelith_compressed_docs ALL
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/zorvandelith.8.gz ${PROJECT_BINARY_DIR}/packaging/rtroot.1.gz
          ${PROJECT_BINARY_DIR}/packaging/zorvandelith-root.7.gz)


install(TARGETS zorvandelith RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS rtroot RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/zorvandelith.service DESTINATION ${ZORVANDELITH_SYSTEM_UNIT_DIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/user/zorvandelith.service DESTINATION ${ZORVANDELITH_USER_UNIT_DIR})
install(FILES packaging/zorvandelith.sysusers DESTINATION ${ZORVANDELITH_SYSUSERS_DIR} RENAME zorvandelith.conf)
install(FILES packaging/zorvandelith.tmpfiles DESTINATION ${ZORVANDELITH_TMPFILES_DIR} RENAME zorvandelith.conf)
install(FILES ${PROJECT_BINARY_DIR}/packaging/zorvandelith.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_BINARY_DIR}/packaging/rtroot.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/packaging/zorvandelith-root.7.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man7)
install(FILES ${PROJECT_BINARY_DIR}/packaging/examples/zorvandelith-peer.service
        DESTINATION ${ZORVANDELITH_DOC_DIR}/examples)
# The system service where systemd is not the init: an init script, which
# systemd's hosts shadow with the unit, and the rotation of the console log
# it writes. Under /etc, since the prefix /usr puts the system's
# configuration there (GNUInstallDirs).
install(PROGRAMS ${PROJECT_BINARY_DIR}/packaging/zorvandelith.init DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d
        RENAME zorvandelith)
install(FILES packaging/zorvandelith.logrotate DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d
        RENAME zorvandelith)
# Where bash-completion looks for a command's completion, loaded when first needed.
install(FILES packaging/completion/rtroot DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
