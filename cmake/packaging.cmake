# What the tool is installed and packaged with: the man page, the changelog
# and the copyright file, where each goes, and the packages cpack makes (a
# Debian package, the static tarball, the Windows zip).

# The man page carries the version, month and addresses set above.
configure_file(docs/zodevir.1 ${PROJECT_BINARY_DIR}/zodevir.1 @ONLY)

# The changelog's newest entry must be this release.
file(STRINGS ${PROJECT_SOURCE_DIR}/docs/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^zodevir \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "docs/changelog does not start with version ${PROJECT_VERSION}")
endif()

# The licence in Debian's machine-readable copyright format: LICENSE's text
# as a block whose lines start with a space, blank lines as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" licence_terms "${licence_text}")
string(REGEX REPLACE "\n+$" "" licence_terms "${licence_terms}")
string(REPLACE "\n\n" "\n.\n" licence_terms "${licence_terms}")
string(REPLACE "\n" "\n " licence_terms " ${licence_terms}")
file(WRITE ${PROJECT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}
Upstream-Contact: ${ZODEVIR_MAINTAINER} <${ZODEVIR_CONTACT_EMAIL}>
Source: ${PROJECT_HOMEPAGE_URL}

Files: *
Copyright: 2026 ${ZODEVIR_MAINTAINER}
License: Expat
${licence_terms}
")

# Debian wants the manual page and the changelog compressed, without a time
# stamp in the gzip header so that the package builds reproducibly.
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT zodevir.1.gz changelog.gz
  COMMAND ${GZIP} -9n -c ${PROJECT_BINARY_DIR}/zodevir.1 > zodevir.1.gz
  COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/docs/changelog > changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/zodevir.1 docs/changelog
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)
add_custom_target(compressed_docs ALL DEPENDS zodevir.1.gz changelog.gz)
# Built with the tool itself, so that installing and packaging work after a
# build of the tool alone.
add_dependencies(zodevir compressed_docs)

# Every file installed belongs to one component, which CPack installs by
# name: its staging install then writes install_manifest_zodevir.txt, and
# install_manifest.txt keeps listing what cmake --install put in place.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME zodevir)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};zodevir;/")

# The offline page, where the web preset has built it, goes into the static
# tarball and the Windows zip, so that a sender can pass it on with the tool.
# A package asked to carry a page that was not built fails, saying so, rather
# than leaving the page out; an empty ZODEVIR_WEB_PAGE makes one without it.
set(ZODEVIR_WEB_PAGE ${PROJECT_SOURCE_DIR}/build/web/zodevir.html CACHE FILEPATH
  "The built offline page that the static tarball and the Windows zip carry; empty for none")
function(zodevir_install_page)
  if(ZODEVIR_WEB_PAGE)
    install(CODE "if(NOT EXISTS \"${ZODEVIR_WEB_PAGE}\")
  message(FATAL_ERROR \"The page ${ZODEVIR_WEB_PAGE} is not built: run cmake --workflow --preset web first, or configure with -DZODEVIR_WEB_PAGE= for a package without it.\")
endif()")
    install(FILES ${ZODEVIR_WEB_PAGE} DESTINATION .)
  endif()
endfunction()

if(WIN32)
  # cpack -G ZIP in the build folder makes zodevir-VERSION-win64.zip, holding
  # zodevir.exe, the README, the licence and the page.
  install(TARGETS zodevir RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  zodevir_install_page()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(ZODEVIR_STATIC)
  # cpack in the build folder makes zodevir-VERSION-linux-ARCH.tar.gz: the
  # static program, its man page, the README, the licence and the page.
  install(TARGETS zodevir RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/zodevir.1 README.md LICENSE DESTINATION .)
  zodevir_install_page()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
else()
  include(GNUInstallDirs)
  install(TARGETS zodevir RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The compiler's notes are of no use in the installed program.
  install(CODE "execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
    --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zodevir\")")
  install(FILES ${PROJECT_BINARY_DIR}/zodevir.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_BINARY_DIR}/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # cpack -G DEB in the build folder makes the Debian package, once it has
  # checked that the tools it needs are there.
  set(CPACK_GENERATOR DEB)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-prerequisites.cmake)
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "${ZODEVIR_MAINTAINER}")
set(CPACK_PACKAGE_CONTACT "${ZODEVIR_MAINTAINER} <${ZODEVIR_CONTACT_EMAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "zodevir writes a destination file as a source file with every byte
transformed under a key stream derived from a password; decoding with
the same password restores the source exactly. It is an obfuscator,
not encryption.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
