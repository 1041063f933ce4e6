# SPDX-License-Identifier: MIT
# What the .deb carries besides the program, in the forms lintian asks for:
# the manual page and the changelog compressed, the copyright file in
# Debian's machine-readable format, the extended description and the
# overrides. Included from the top CMakeLists.txt on Linux hosts.

find_program(GZIP gzip REQUIRED)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})

# -n keeps names and dates out, so that two releases give the same bytes.
function(talvor_gzip source output)
    add_custom_command(OUTPUT ${output}
                       COMMAND ${GZIP} -9n -c ${source} > ${output}
                       DEPENDS ${source} VERBATIM)
endfunction()

talvor_gzip(${PROJECT_SOURCE_DIR}/man/talvor.1 ${CMAKE_CURRENT_BINARY_DIR}/talvor.1.gz)

# Made at configure time, so that release.sh's fresh configure takes the
# dates of the commits it builds.
execute_process(COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/debian-changelog.sh
                        ${PROJECT_SOURCE_DIR}/CHANGELOG.md "${CPACK_PACKAGE_CONTACT}"
                OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian
                COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
talvor_gzip(${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian
            ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_target(debian_docs ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/talvor.1.gz
                                          ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

# LICENSE stays the one place the terms are written; DEP-5 indents them and
# marks their empty lines with a dot.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(FIND "${license}" "Permission" terms_start)
string(SUBSTRING "${license}" ${terms_start} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
string(REGEX REPLACE "^Copyright \\(c\\) " "" holder "${TALVOR_COPYRIGHT}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: ${holder}
License: MIT
 ${terms}
")

install(FILES ${CMAKE_CURRENT_BINARY_DIR}/talvor.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${doc_dir})
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "talvor SOURCE DEST writes DEST as a copy of SOURCE whose first bytes, at most
32768, are replaced by the bytes of the file IP.BIN in the current directory.
It reports in French on standard output and through its exit status.

Holes in SOURCE stay holes in DEST, blocks are shared with SOURCE on file
systems that allow it, and a failed or interrupted run never leaves a DEST
that looks finished.")
if(TALVOR_STATIC)
    # The static program is on purpose: one package for every release.
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${PROJECT_NAME})
    string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION "

The program is linked statically: the package depends on nothing and installs
on any release.")
endif()
