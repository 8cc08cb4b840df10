# What a group hands out: a .deb of the native qortool with its man page,
# and a .zip of the Windows programs, each with the README, the threat model
# and the licence.
#
# Both are reproducible: every time in them is the last commit's (or
# SOURCE_DATE_EPOCH's, without git), which CPack and string(TIMESTAMP)
# take from SOURCE_DATE_EPOCH; the entries are sorted and their owners and
# modes fixed.
set(CPACK_PACKAGE_VENDOR "QOR")
set(CPACK_PACKAGE_CONTACT "QOR <qor@qor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check, issue and stamp releases of the QOR group")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_DATE_EPOCH ${QOR_SOURCE_DATE_EPOCH})
# Read by cpack itself: the key id the programs were built with, and the
# time of every entry.
set(QOR_KEY_ID_COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:qortool> keyid)
configure_file(${CMAKE_SOURCE_DIR}/cmake/CPackProject.cmake.in
               ${CMAKE_BINARY_DIR}/CPackProject.cmake.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/CPackProject.cmake
     INPUT ${CMAKE_BINARY_DIR}/CPackProject.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProject.cmake)

if(WIN32)
  # The installer, beside the .zip: built from this build's programs, or
  # from a group's stamped and signed ones in QOR_SIGNED_PROGRAMS (a folder
  # holding qorcert.exe, qortool.exe and qorcert-here.exe).
  set(QOR_SIGNED_PROGRAMS "" CACHE PATH "A folder of stamped and signed programs for the installer")
  if(QOR_SIGNED_PROGRAMS)
    set(programs ${QOR_SIGNED_PROGRAMS}/qorcert.exe ${QOR_SIGNED_PROGRAMS}/qortool.exe
                 ${QOR_SIGNED_PROGRAMS}/qorcert-here.exe)
  else()
    set(programs $<TARGET_FILE:qorcert> $<TARGET_FILE:qortool> $<TARGET_FILE:qorcert-here>)
  endif()
  find_program(MAKENSIS makensis REQUIRED)
  set(setup ${CMAKE_BINARY_DIR}/qorcert-${PROJECT_VERSION}-setup.exe)
  list(GET programs 0 qorcert_program)
  list(GET programs 1 qortool_program)
  list(GET programs 2 here_program)
  add_custom_command(
    OUTPUT ${setup}
    COMMAND ${MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} "-DPUBLISHER=${CPACK_PACKAGE_VENDOR}"
            -DQORCERT=${qorcert_program} -DQORTOOL=${qortool_program} -DHERE=${here_program}
            -DREADME=${CMAKE_SOURCE_DIR}/README.md -DLICENSE=${CMAKE_SOURCE_DIR}/LICENSE
            -DOUTFILE=${setup} ${CMAKE_SOURCE_DIR}/installer/qorcert.nsi
    DEPENDS ${programs} ${CMAKE_SOURCE_DIR}/installer/qorcert.nsi ${CMAKE_SOURCE_DIR}/README.md
    COMMENT "Making the installer qorcert-${PROJECT_VERSION}-setup.exe" VERBATIM)
  add_custom_target(installer ALL DEPENDS ${setup})

  install(TARGETS qorcert qortool qorcert-here RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/threat-model.md
                ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
  # The README's pages and pictures beside it, so that its links resolve.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION docs)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME qorcert)
  set(CPACK_SYSTEM_NAME win64)
  # One folder, qorcert-VERSION-win64/, holds everything.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/SortedZip.cmake)
else()
  include(GNUInstallDirs)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/qortool)
  install(TARGETS qortool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/threat-model.md
          DESTINATION ${doc})
  # The README's pages and pictures beside it, so that its links resolve.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${doc}/docs)

  # Debian's copyright file, machine-readable, from LICENSE; and a
  # changelog, both as Debian policy places them.
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "^ISC License\n\nCopyright \\(c\\) [^\n]*\n\n" "" licence "${licence}")
  string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REGEX REPLACE "\n([^\n])" "\n \\1" licence " ${licence}")
  file(WRITE ${CMAKE_BINARY_DIR}/debian/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: qortool
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: 2026 the QOR Release Authentication Certificator developers
License: ISC
${licence}")
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${CMAKE_BINARY_DIR}/debian/changelog
"qortool (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}: see README.md for what it does.

 -- ${CPACK_PACKAGE_CONTACT}  ${changelog_date}
")
  execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/changelog)
  install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${doc} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME qortool)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${QOR_WEB_PAGE}")
endif()
include(CPack)
