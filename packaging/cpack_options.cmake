# Every package of kzb-extract, made by `cmake --build <tree> --target package`:
#
#   Linux:   kzb_<version>_amd64.deb         the dynamic programs, manual pages, the file type,
#                                            a desktop entry for it and a bash completion
#            kzb-<version>-linux-x86_64.tar.gz  the statically linked programs and the texts
#   Windows: kzb-<version>-win64-setup.exe   a per-user installer (NSIS) with Explorer's verbs
#            kzb-<version>-win64.zip         the same files, nothing registered
#
# The version is the project's, from project(... VERSION ...), and nothing else. The files
# beside this one are data: the MIME type, the desktop entry, the completion, the installer's
# script and the Debian copyright. Nothing in the programs knows how they were packaged.
# packaging/check.sh checks what this makes with the tools the users' systems run.

set(kzb_packaging ${CMAKE_CURRENT_LIST_DIR})
set(kzb_texts ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
set(kzb_licences ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES)
# The guides README.md links to, kept beside it in doc/ so that its links hold in the archives.
file(GLOB kzb_guides ${PROJECT_SOURCE_DIR}/doc/*.md)

set(CPACK_PACKAGE_NAME kzb)
set(CPACK_PACKAGE_VENDOR "the kzb-extract authors")
set(CPACK_PACKAGE_CONTACT "the kzb-extract authors <kzb-extract@users.noreply.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "List, test, extract and convert the files of KZB containers")
set(CPACK_PACKAGE_DESCRIPTION
    "kzb-extract prints the report of a KZB container (a file of nested chunks\n\
holding files and publication metadata) and extracts its files; kzb lists,\n\
tests, prints, extracts and converts containers into CBZ files the way archive\n\
tools do.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Each generator names its file and picks its components in the configuration file below.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/kzb-cpack-generators.cmake)
configure_file(${kzb_packaging}/cpack_generators.cmake.in ${CMAKE_BINARY_DIR}/kzb-cpack-generators.cmake @ONLY)
# One package of everything its components hold, never one package per component.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_NSIS_COMPONENT_INSTALL OFF)

if(WIN32)
  # The verbs run kzb through kzb-verb.exe: a program without a console of its own, which shows
  # kzb's lines in a window that waits only when kzb failed.
  enable_language(RC)
  add_executable(kzb-verb WIN32 ${PROJECT_SOURCE_DIR}/platform/verb_window_windows.cpp
                                ${kzb_packaging}/windows/kzb-verb.rc)
  target_link_options(kzb-verb PRIVATE -municode)
  set_target_properties(kzb-verb PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  install(TARGETS kzb-verb RUNTIME DESTINATION bin COMPONENT windows EXCLUDE_FROM_ALL)
  # What packaging/check.sh runs the installed verbs with, as Explorer would.
  add_executable(kzb-run-verb EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/tests/support/run_verb_windows.cpp)
  target_link_options(kzb-run-verb PRIVATE -municode)
  set_target_properties(kzb-run-verb PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  # The texts with the extensions Windows opens them by.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          DESTINATION . COMPONENT windows EXCLUDE_FROM_ALL)
  install(FILES ${kzb_guides} DESTINATION doc COMPONENT windows EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt
          COMPONENT windows EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES DESTINATION .
          RENAME THIRD-PARTY-NOTICES.txt COMPONENT windows EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_SYSTEM_NAME win64)
  # CPack takes NSIS.template.in from the module path: the installer's own script.
  list(PREPEND CMAKE_MODULE_PATH ${kzb_packaging}/windows)
  set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY kzb)
  set(CPACK_NSIS_DISPLAY_NAME "kzb ${PROJECT_VERSION}")
  set(CPACK_NSIS_PACKAGE_NAME "kzb ${PROJECT_VERSION}")
else()
  include(GNUInstallDirs)
  set(kzb_doc ${CMAKE_INSTALL_DATADIR}/doc/kzb)
  # The Debian package: texts, the file type, the desktop entry and the completion; the
  # programs and manual pages are the ordinary installation's. The manual pages are
  # compressed, as Debian keeps them, by the script that runs before the package is made.
  install(FILES ${kzb_packaging}/debian-copyright DESTINATION ${kzb_doc} RENAME copyright
          COMPONENT deb EXCLUDE_FROM_ALL)
  # A native package's changelog is Debian's; it points to the project's own.
  string(TIMESTAMP kzb_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${kzb_packaging}/debian-changelog.in ${CMAKE_BINARY_DIR}/debian-changelog @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/debian-changelog DESTINATION ${kzb_doc} RENAME changelog
          COMPONENT deb EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${kzb_doc} COMPONENT deb
          EXCLUDE_FROM_ALL)
  # zlib is linked into kzb on purpose (see the top-level CMakeLists.txt), so that the same
  # programs run where zlib is not installed.
  install(FILES ${kzb_packaging}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME kzb COMPONENT deb EXCLUDE_FROM_ALL)
  install(FILES ${kzb_packaging}/kzb.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
          COMPONENT deb EXCLUDE_FROM_ALL)
  install(FILES ${kzb_packaging}/kzb-extract-folder.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT deb EXCLUDE_FROM_ALL)
  foreach(program kzb kzb-extract kzb-mount)
    install(FILES ${kzb_packaging}/kzb.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program}
            COMPONENT deb EXCLUDE_FROM_ALL)
  endforeach()

  # The release archive: the statically linked programs, which run on any x86-64 Linux,
  # beside the texts and manual pages. They are built only when the archive is made.
  if(TARGET kzb-static AND TARGET kzb-extract-static)
    install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\"
                                          --target kzb-static kzb-extract-static
                                  COMMAND_ERROR_IS_FATAL ANY)"
            COMPONENT tarball EXCLUDE_FROM_ALL)
    install(TARGETS kzb-static kzb-extract-static RUNTIME DESTINATION . COMPONENT tarball
            EXCLUDE_FROM_ALL)
    install(FILES ${kzb_texts} ${kzb_licences} ${PROJECT_SOURCE_DIR}/doc/kzb.1
                  ${PROJECT_SOURCE_DIR}/doc/kzb-extract.1
            DESTINATION . COMPONENT tarball EXCLUDE_FROM_ALL)
    install(FILES ${kzb_guides} DESTINATION doc COMPONENT tarball EXCLUDE_FROM_ALL)
    set(CPACK_GENERATOR DEB TGZ)
  else()
    set(CPACK_GENERATOR DEB)
  endif()

  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # kzb-mount, where it is built, mounts through fusermount3, which libfuse's own package does
  # not bring.
  if(TARGET kzb-mount)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS fuse3)
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PRE_BUILD_SCRIPTS ${kzb_packaging}/compress_manuals.cmake)
endif()

include(CPack)
