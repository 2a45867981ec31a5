# Installation of the program, the man page, the systemd units, the default
# configuration in /etc/tolvane, the examples and the Debian package's own
# files, and the Debian package built from that installation by CPack
# ("cpack -G DEB" in the build directory).

include(GNUInstallDirs)

# GNUInstallDirs would name the folder after the project (Tolvane); Debian
# names it after the package.
set(TOLVANE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tolvane)
set(TOLVANE_MAN_PAGE ${CMAKE_SOURCE_DIR}/docs/tolvane.8)

# The maintainer is whoever builds the package: unless TOLVANE_MAINTAINER
# names one ("Name <address>"), git's user.name and user.email, read at
# every configure. Without either, cpack refuses to build the package.
set(TOLVANE_MAINTAINER "" CACHE STRING
  "Name and address in the package's Maintainer field and changelog (empty: git's user)")
function(tolvane_git_user key result)
  execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} config --get user.${key}
    OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  set(${result} "${value}" PARENT_SCOPE)
endfunction()
set(TOLVANE_PACKAGE_MAINTAINER "${TOLVANE_MAINTAINER}")
if(NOT TOLVANE_PACKAGE_MAINTAINER)
  tolvane_git_user(name TOLVANE_GIT_NAME)
  tolvane_git_user(email TOLVANE_GIT_EMAIL)
  if(TOLVANE_GIT_NAME AND TOLVANE_GIT_EMAIL)
    set(TOLVANE_PACKAGE_MAINTAINER "${TOLVANE_GIT_NAME} <${TOLVANE_GIT_EMAIL}>")
  else()
    message(STATUS "No package maintainer: git has no user.name and user.email here; "
      "set -DTOLVANE_MAINTAINER=\"Name <address>\" to build the Debian package")
  endif()
endif()
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/copyright @ONLY)

# The maintainer scripts that look at the record store share its check.
file(READ ${CMAKE_SOURCE_DIR}/packaging/records-in-store.sh TOLVANE_RECORDS_IN_STORE)
configure_file(${CMAKE_SOURCE_DIR}/packaging/prerm.in ${CMAKE_BINARY_DIR}/prerm @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/postrm.in ${CMAKE_BINARY_DIR}/postrm @ONLY)

# Debian ships man pages and changelogs compressed with gzip -9n: -n keeps
# the build time out of the file, so the package is the same whenever it is
# built.
find_program(TOLVANE_GZIP gzip REQUIRED)
function(tolvane_gzip source target)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${target}
    COMMAND ${TOLVANE_GZIP} -9n -c ${source} > ${CMAKE_BINARY_DIR}/${target}
    DEPENDS ${source}
    VERBATIM)
  add_custom_target(tolvane_${target} ALL DEPENDS ${CMAKE_BINARY_DIR}/${target})
endfunction()
tolvane_gzip(${TOLVANE_MAN_PAGE} tolvane.8.gz)
tolvane_gzip(${CMAKE_BINARY_DIR}/changelog changelog.gz)

# The package's files and folders must not depend on the umask of whoever
# builds it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)

# A program for root only, hence sbin and section 8.
install(TARGETS tolvane RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${CMAKE_BINARY_DIR}/tolvane.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
  DESTINATION ${TOLVANE_INSTALL_DOCDIR})
file(GLOB TOLVANE_EXAMPLES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/examples/*.ini ${CMAKE_SOURCE_DIR}/examples/*.xml)
install(FILES ${TOLVANE_EXAMPLES} DESTINATION ${TOLVANE_INSTALL_DOCDIR}/examples)
# systemd, logrotate and the units read these paths whatever the prefix.
# The units are the package's, replaced by every upgrade (an administrator
# changes them with drop-ins); the files in /etc are conffiles, so an
# administrator's edits survive an upgrade. /etc/tolvane keeps the default
# folder and file modes: tolvane only needs them root's and writable by
# root alone.
file(GLOB TOLVANE_UNITS CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/packaging/systemd/*.service ${CMAKE_SOURCE_DIR}/packaging/systemd/*.timer)
install(FILES ${TOLVANE_UNITS} DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/Tolvane.ini ${CMAKE_SOURCE_DIR}/examples/LogTolvane.xml
  DESTINATION /etc/tolvane)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/tolvane.logrotate
  DESTINATION /etc/logrotate.d RENAME tolvane)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VENDOR "Tolvane developers")
set(CPACK_PACKAGE_CONTACT "${TOLVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "switch the write right on and off for whole folder trees")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the synopsis line; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Tolvane takes the right to write data away from every folder and file
below a configured set of folders (tolvane -lock) and gives it back
(tolvane -unlock), by rewriting their POSIX ACLs. Owners, groups, the
other rights and the special mode bits are left as they were, and
symbolic links below a configured folder are never followed.
.
It reads its folders from Tolvane.ini and its logging set-up (Apache
log4cxx) from LogTolvane.xml in the current directory, and is meant to
run unattended as root. The package's systemd timers, installed
disabled, lock and unlock the folders listed in /etc/tolvane/Tolvane.ini
on weekday evenings and mornings, logging to the journal.")
# dpkg-shlibdeps derives Depends from the libraries the program links:
# log4cxx, POCO Foundation and Util, and the C and C++ runtimes.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The build links libacl, but the program reaches ACLs through their
# extended attributes and uses none of its symbols, so the linker drops it
# and dpkg-shlibdeps cannot see it. It is named by hand so that the package
# states the ACL library it is built against; libacl1 is on every Debian
# system anyway (coreutils needs it).
set(CPACK_DEBIAN_PACKAGE_DEPENDS libacl1)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles
  ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_BINARY_DIR}/prerm ${CMAKE_BINARY_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
