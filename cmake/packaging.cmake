# Install rules and the Debian package.
#
# Included at the end of the root CMakeLists.txt. Two parts (the files of
# packaging/ compiled into korvane_platform are cmake/desktop_files.cmake's):
#   1. what `cmake --install` puts where (below CMAKE_INSTALL_PREFIX);
#   2. the Debian package made by `cpack -G DEB`.
# Tests are never installed.

set(KORVANE_PACKAGING_DIR ${CMAKE_CURRENT_SOURCE_DIR}/packaging)

# ---------------------------------------------------------------------------
# 1. Install rules.
foreach(_program korvane korvane-cli korvane-recover vaultfs)
  if(TARGET ${_program})
    install(TARGETS ${_program} RUNTIME DESTINATION bin)
  endif()
endforeach()

# Help pages, beside the program: <prefix>/share/doc/korvane/help is where
# the help window looks for them. Listed when installing, not when
# configuring, so a page added since is never left out of a package.
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/docs/help/ DESTINATION share/doc/korvane/help
        FILES_MATCHING PATTERN "*.html" PATTERN "*.css" PATTERN "*.png" PATTERN "*.svg")

# User documentation (the pages of docs/ itself).
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/docs/ DESTINATION share/doc/korvane
        FILES_MATCHING PATTERN "*.md" PATTERN "help" EXCLUDE PATTERN "screenshots" EXCLUDE)

# Launcher, file type and icon, for every user of the machine.
install(FILES ${KORVANE_PACKAGING_DIR}/korvane.desktop DESTINATION share/applications)
install(FILES ${KORVANE_PACKAGING_DIR}/korvane-container.xml DESTINATION share/mime/packages)
install(FILES ${KORVANE_PACKAGING_DIR}/korvane.svg DESTINATION share/icons/hicolor/scalable/apps)

# File-manager actions. Nemo and Dolphin read system folders; Nautilus
# scripts and Thunar actions exist only per user, so their files are kept
# under share/korvane for "korvane --install-desktop-integration" (and for
# copying by hand).
install(FILES ${KORVANE_PACKAGING_DIR}/nemo/korvane-protect.nemo_action
              ${KORVANE_PACKAGING_DIR}/nemo/korvane-open.nemo_action
              ${KORVANE_PACKAGING_DIR}/nemo/korvane-browse.nemo_action
        DESTINATION share/nemo/actions)
install(FILES ${KORVANE_PACKAGING_DIR}/dolphin/korvane-protect.desktop
              ${KORVANE_PACKAGING_DIR}/dolphin/korvane-open.desktop
              ${KORVANE_PACKAGING_DIR}/dolphin/korvane-browse.desktop
        DESTINATION share/kio/servicemenus)
install(PROGRAMS "${KORVANE_PACKAGING_DIR}/nautilus/Protect with Korvane"
                 "${KORVANE_PACKAGING_DIR}/nautilus/Open with Korvane"
                 "${KORVANE_PACKAGING_DIR}/nautilus/Browse with Korvane"
        DESTINATION share/korvane/file-manager/nautilus)
install(FILES ${KORVANE_PACKAGING_DIR}/thunar/uca-korvane.xml
        DESTINATION share/korvane/file-manager/thunar)

# The maker's public key of the password-recovery escrow.
install(FILES ${KORVANE_PACKAGING_DIR}/recovery-key.pem DESTINATION share/korvane)

# Manual pages, compressed as Debian keeps them: gzip -9n (no name, no time
# stamp, so the same page always gives the same bytes).
find_program(KORVANE_GZIP gzip REQUIRED)
set(_korvane_man_pages)
foreach(_page korvane korvane-cli korvane-recover vaultfs)
  set(_source ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/${_page}.1)
  set(_compressed ${CMAKE_CURRENT_BINARY_DIR}/man/${_page}.1.gz)
  add_custom_command(OUTPUT ${_compressed}
                     COMMAND ${CMAKE_COMMAND} -E copy ${_source} ${CMAKE_CURRENT_BINARY_DIR}/man/${_page}.1
                     COMMAND ${KORVANE_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/man/${_page}.1
                     DEPENDS ${_source}
                     COMMENT "Compressing the manual page ${_page}(1)"
                     VERBATIM)
  list(APPEND _korvane_man_pages ${_compressed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${_korvane_man_pages})
install(FILES ${_korvane_man_pages} DESTINATION share/man/man1)

# Shell completions, and the entry of the software centres (named after its id).
install(FILES ${KORVANE_PACKAGING_DIR}/completions/korvane-cli
              ${KORVANE_PACKAGING_DIR}/completions/vaultfs
        DESTINATION share/bash-completion/completions)
install(FILES ${KORVANE_PACKAGING_DIR}/korvane.metainfo.xml DESTINATION share/metainfo
        RENAME org.korvane.Korvane.metainfo.xml)

# ---------------------------------------------------------------------------
# 2. The Debian package: `cpack -G DEB` in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvane developers")
set(CPACK_PACKAGE_CONTACT "Korvane developers <dev@korvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "password folder locker")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME korvane)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Korvane developers <dev@korvane.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The body under the summary line; CPack indents it and marks the empty line
# as a paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Korvane locks a folder behind a password: it packs the folder's whole tree
into one encrypted container file beside it (<folder>._zkvlk) and removes
the folder. Opening the container asks for the password and restores the
folder.

The package holds the desktop program (korvane), its scripted twin for
shell scripts (korvane-cli), the password-recovery tool (korvane-recover),
the container tool (vaultfs), their manual pages and bash completions, the
help pages, the launcher, the container file type and actions for the Nemo
and Dolphin file managers. The command
korvane --install-desktop-integration adds the actions for Nautilus and
Thunar for one user.]=])

# Shared libraries from dpkg-shlibdeps (package dpkg-dev), plus what the
# desktop integration runs. dpkg-shlibdeps finds the libraries in the
# programs themselves (libc6, libssl3, libdeflate0, Qt, and libargon2-1 for the
# hardened layout's key derivation); tests/packaging/package_test.sh checks
# that all but Qt (optional at build time) are named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libfile-mimeinfo-perl: xdg-mime outside a known desktop session asks
# `mimetype`, which reads the shared MIME database (`file` would not know
# the container type).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils, shared-mime-info, libfile-mimeinfo-perl")
# fuse3: fusermount3, which makes and ends the mounts of Browse and of
# korvane-cli mount.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "desktop-file-utils, fuse3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KORVANE_PACKAGING_DIR}/debian/postinst
                                       ${KORVANE_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# A source archive (`cpack --config CPackSourceConfig.cmake`) without build
# folders and version-control data.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-[^/]*/" "/\\\\.cache/")

include(CPack)
