# The Debian package kestrune_<version>_<architecture>.deb: the benchmark,
# kestrune-report with its Python package, the manual pages, the Slurm node
# job under /usr/share/kestrune, and under
# /usr/share/doc/kestrune the README, the changelog Debian asks for and the
# licence in Debian's machine-readable copyright format.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KESTRUNE_DEB_ARCHITECTURE i386)
else()
  set(KESTRUNE_DEB_ARCHITECTURE amd64)
endif()
set(KESTRUNE_DEB_FILE ${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_${KESTRUNE_DEB_ARCHITECTURE}.deb)

install(TARGETS kestrune RUNTIME DESTINATION bin)
# The Slurm job that measures and compares every node of an allocation.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/slurm/kestrune-nodes.sbatch DESTINATION share/kestrune)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME ${KESTRUNE_DEB_FILE})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KESTRUNE_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_CONTACT "The Kestrune authors <kestrune@example.org>")
set(CPACK_PACKAGE_DESCRIPTION "\
For every block size from 128 bytes to 32 MiB, kestrune measures how fast one
chosen x86 instruction reads or writes the block (32- and 16-bit moves, MMX,
SSE, SSE2, SSE3 and the non-temporal stores) at three start alignments, and
prints six tab-separated tables. Options add the AVX and AVX-512 moves and the
streaming load, blocks up to 4 GiB, all processors at once, medians of
repeated runs, bytes per core cycle, a table of load latency (random, in-page
and sequential chains of dependent loads), 2 MiB pages, and JSON or CSV
records of every cell.

kestrune-report turns a saved report into charts (PNG, SVG) and data files
(CSV, JSON).")
# The libraries the binary links, as dpkg-shlibdeps finds them, plus the
# interpreter of kestrune-report; only its charts need matplotlib.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-matplotlib)
# The node job's sbatch, srun and scontrol.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS slurm-client)
include(${CMAKE_CURRENT_SOURCE_DIR}/debian_i386_depends.cmake)

# Checks made when cpack runs rather than when CMake does.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cpack_debian.cmake)
set(CPACK_KESTRUNE_MANUAL_PAGES "${KESTRUNE_MANUAL_PAGES}")

set(doc_dir share/doc/${CPACK_PACKAGE_NAME})
set(debian_dir ${CMAKE_CURRENT_BINARY_DIR}/debian)

# The copyright file is made from LICENSE: its copyright line, and its text
# as the field body (each line indented, empty lines as " .").
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n+(Permission .*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no \"Copyright (c) ...\" line followed by the licence text")
endif()
set(KESTRUNE_COPYRIGHT ${CMAKE_MATCH_1})
string(REPLACE "\n\n" "\n.\n" KESTRUNE_LICENCE_TEXT "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " KESTRUNE_LICENCE_TEXT " ${KESTRUNE_LICENCE_TEXT}")
configure_file(debian/copyright.in ${debian_dir}/copyright @ONLY)

# SOURCE_DATE_EPOCH, when set, fixes the date.
string(TIMESTAMP KESTRUNE_CHANGELOG_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
configure_file(debian/changelog.in ${debian_dir}/changelog @ONLY)

kestrune_gzip(${debian_dir}/changelog.gz ${debian_dir}/changelog)
kestrune_gzip(${debian_dir}/README.md.gz ${PROJECT_SOURCE_DIR}/README.md)
add_custom_target(debian_documents ALL DEPENDS ${debian_dir}/changelog.gz ${debian_dir}/README.md.gz)
install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz ${debian_dir}/README.md.gz
        DESTINATION ${doc_dir})
