# Read by cpack (CPACK_PROJECT_CONFIG_FILE) when the binaries are built for
# another CPU. dpkg-shlibdeps alone would name the build machine's libraries
# (an i386 binary here finds the amd64 packages libc6-i386 and lib32stdc++6)
# or none at all; pointed at the target's C library and C++ runtime in
# /usr/<triplet>, it names the cross packages that hold them. Those are the
# target's own packages repackaged for cross building (libstdc++6-arm64-cross
# is libstdc++6 of arm64), so their names are turned back into the target's:
# what the package needs on the machine it is installed on. A statically
# linked binary needs nothing, and gets nothing.
if(NOT CPACK_GENERATOR STREQUAL "DEB" OR NOT CPACK_ZORVANDELITH_TRIPLET)
  return()
endif()
find_program(ZORVANDELITH_SHLIBDEPS dpkg-shlibdeps)
if(NOT ZORVANDELITH_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps (dpkg-dev) is needed to name the package's Depends")
endif()
set(work ${CPACK_ZORVANDELITH_BINARY_DIR}/shlibdeps)
file(REMOVE_RECURSE ${work})
file(WRITE ${work}/debian/control "Source: ${CPACK_PACKAGE_NAME}\n\nPackage: ${CPACK_PACKAGE_NAME}\nArchitecture: any\n")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}
          ${ZORVANDELITH_SHLIBDEPS} -O -l/usr/${CPACK_ZORVANDELITH_TRIPLET}/lib ${CPACK_ZORVANDELITH_BINARIES}
  WORKING_DIRECTORY ${work}
  OUTPUT_VARIABLE substitution
  ERROR_VARIABLE diagnostics
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dpkg-shlibdeps failed (${status}) on ${CPACK_ZORVANDELITH_BINARIES}:\n${diagnostics}")
endif()
string(REGEX MATCH "shlibs:Depends=([^\n]*)" found "${substitution}")
set(depends "${CMAKE_MATCH_1}")
string(REGEX REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}([ ,]|$)" "\\1" depends "${depends}")
string(REGEX REPLACE "-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross([ ,]|$)" "\\1" depends "${depends}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
