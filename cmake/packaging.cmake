# Where the tool goes when installed, and how it is packaged. On Linux it is a
# system administration command: the program in sbin, its manual page in
# section 8, and a Debian package of both (cpack -G DEB), or an RPM (cpack
# -G RPM). On Windows, a zip of
# the .exe and a short text for the admin who unpacks it (cpack -G ZIP).
include(GNUInstallDirs)

# Directories the install creates are 0755 whatever the umask of the person
# installing: a package must not ship a tree that only root can read.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME tkvcert)
set(CPACK_PACKAGE_VENDOR TKV)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "add or remove one CA certificate in the system trust store")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS tkvcert RUNTIME DESTINATION .)
  # Plain text with CRLF line ends, so that Notepad on any Windows shows lines.
  configure_file(${PROJECT_SOURCE_DIR}/doc/windows-readme.txt ${PROJECT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  install(TARGETS tkvcert RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

  # The manual page is written in scdoc and made into roff here. The program
  # builds without it: only a build with scdoc installs, and packages, a page.
  find_program(TKVCERT_SCDOC scdoc)
  find_program(TKVCERT_GZIP gzip)
  if(TKVCERT_SCDOC AND TKVCERT_GZIP)
    set(TKVCERT_MANPAGE ${PROJECT_BINARY_DIR}/doc/tkvcert.8)
    add_custom_command(
      OUTPUT ${TKVCERT_MANPAGE} ${TKVCERT_MANPAGE}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
      COMMAND ${CMAKE_COMMAND} -DSCDOC=${TKVCERT_SCDOC} -DGZIP=${TKVCERT_GZIP}
              -DSOURCE=${PROJECT_SOURCE_DIR}/doc/tkvcert.8.scd -DOUTPUT=${TKVCERT_MANPAGE}
              -DVERSION=${PROJECT_VERSION} -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/doc/tkvcert.8.scd ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
      COMMENT "Making the manual page tkvcert(8)"
      VERBATIM)
    add_custom_target(tkvcert_manpage ALL DEPENDS ${TKVCERT_MANPAGE} ${TKVCERT_MANPAGE}.gz)
    install(FILES ${TKVCERT_MANPAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  else()
    set(TKVCERT_MANPAGE "")
    message(STATUS "scdoc or gzip not found: the manual page tkvcert(8) is not built")
  endif()

  # The licence, and the history of releases; Debian wants both in the
  # package's documentation directory, compressed as policy says. The history
  # begins with the version being packaged: a new version gets its entry there
  # when project() gets the number.
  file(STRINGS ${PROJECT_SOURCE_DIR}/doc/changelog changelog_top LIMIT_COUNT 1)
  string(REPLACE "." "\\." version_pattern "${PROJECT_VERSION}")
  if(NOT changelog_top MATCHES "^tkvcert \\(${version_pattern}\\) ")
    message(FATAL_ERROR "doc/changelog begins with '${changelog_top}': "
                        "add an entry for ${PROJECT_VERSION}, the version in project()")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(TKVCERT_GZIP)
    set(changelog ${PROJECT_BINARY_DIR}/doc/changelog.gz)
    add_custom_command(
      OUTPUT ${changelog}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
      COMMAND sh -c "'${TKVCERT_GZIP}' -9 -n -c '${PROJECT_SOURCE_DIR}/doc/changelog' > '${changelog}'"
      DEPENDS ${PROJECT_SOURCE_DIR}/doc/changelog
      VERBATIM)
    add_custom_target(tkvcert_changelog ALL DEPENDS ${changelog})
    install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()

  set(CPACK_GENERATOR DEB)
  set(TKVCERT_PACKAGE_MAINTAINER "TKV <tkvcert@example.com>" CACHE STRING
      "The Maintainer field of the Debian package")
  set(CPACK_PACKAGE_CONTACT "${TKVCERT_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries come from the binary itself (dpkg-shlibdeps); the refresh
  # command that every change runs is Debian's update-ca-certificates.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "ca-certificates")
  # bubblewrap: only another root's refresh (TKVCERT_SYSROOT) runs in its
  # sandbox; p11-kit's trust module: Firefox is made to load it so that it
  # follows the system store. Without either the tool works, refuses what it
  # cannot do cleanly, and says so.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bubblewrap, p11-kit-modules")
  # The summary above is the first line; this is the text below it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"tkvcert makes the machine trust, or stop trusting, one CA certificate: the
certificate of an intercepting proxy, a corporate root or a test farm's CA.
Its /install command writes the certificate (DER, PEM, Base64 or {ASN} hex)
into /usr/local/share/ca-certificates and runs update-ca-certificates; its
/uninstall command removes it again, named by its subject.
.
It runs unattended: it asks nothing, prints what it did, and reports failure
through its exit status and a Windows-style LastError code. Every change is
atomic and rolled back if the bundle refresh fails. TKVCERT_SYSROOT points it
at an image root instead of the running system.")

  # The RPM (cpack -G RPM), as Fedora's and openSUSE's guidelines want one:
  # not relocatable, no directory of the system owned, the licence marked,
  # the history as a changelog. Built here on Debian 12, the binary needs
  # glibc 2.34 and OpenSSL 3: Fedora 36 and later, RHEL 9 and its rebuilds,
  # openSUSE Tumbleweed. Their refresh (update-ca-trust, or openSUSE's
  # update-ca-certificates) comes with ca-certificates.
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_RELEASE 1)
  set(CPACK_RPM_PACKAGE_LICENSE MIT)
  set(CPACK_RPM_PACKAGE_URL "https://example.com/tkvcert")
  set(CPACK_RPM_PACKAGE_REQUIRES "ca-certificates")
  set(CPACK_RPM_PACKAGE_GROUP Unspecified)
  set(CPACK_RPM_PACKAGE_SUMMARY "Add or remove one CA certificate in the system trust store")
  set(CPACK_PACKAGE_RELOCATABLE OFF)
  set(CPACK_RPM_PACKAGE_RELOCATABLE OFF)
  set(CPACK_RPM_PACKAGE_AUTOREQPROV ON)
  # CPack of CMake 3.25 knows no Recommends, and this is still the preamble.
  # Build-id links would own /usr/lib/.build-id, which is the system's.
  set(CPACK_RPM_SPEC_MORE_DEFINE "Recommends: bubblewrap\n%define _build_id_links none")
  set(CPACK_RPM_PACKAGE_DESCRIPTION
"tkvcert makes the machine trust, or stop trusting, one CA certificate: the
certificate of an intercepting proxy, a corporate root or a test farm's CA.
Its /install command writes the certificate (DER, PEM, Base64 or {ASN} hex)
into the distribution's trust anchors (/etc/pki/ca-trust/source/anchors on
Fedora and RHEL, /etc/pki/trust/anchors on openSUSE) and runs the
distribution's refresh; its /uninstall command removes it again, named by
its subject.

It runs unattended: it asks nothing, prints what it did, and reports failure
through its exit status and a Windows-style LastError code. Every change is
atomic and rolled back if the bundle refresh fails. TKVCERT_SYSROOT points it
at an image root instead of the running system.")
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
      /usr/sbin /usr/share/man /usr/share/man/man8 /usr/share/licenses)
  set(CPACK_RPM_USER_FILELIST "%license /usr/share/doc/tkvcert/copyright")
  include(${CMAKE_CURRENT_LIST_DIR}/rpm_changelog.cmake)
  tkvcert_rpm_changelog(${PROJECT_SOURCE_DIR}/doc/changelog ${PROJECT_BINARY_DIR}/rpm-changelog)
  set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/rpm-changelog)
endif()

include(CPack)
