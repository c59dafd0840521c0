# The manual pages kestrune(1) and kestrune-report(1), made by Debian's
# help2man from each program's own --help at build time, so that a page cannot
# say other than its program does. man/<program>.h2m adds the sections --help
# does not carry.
find_program(KESTRUNE_HELP2MAN help2man)
if(NOT KESTRUNE_HELP2MAN)
  message(STATUS "help2man not found: no manual pages, so no Debian package (Debian package help2man)")
  return()
endif()

# help2man names a page after the program it runs; these scripts, named
# after the programs, run them as help2man needs: a cross build's binary under
# its emulator, the report tool with its argparse help reshaped for help2man.
function(kestrune_program_for_help2man name command)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/help2man/${name}
    CONTENT "#!/bin/sh\nexec ${command} \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()
set(emulator "")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
endif()
kestrune_program_for_help2man(kestrune "${emulator} \"$<TARGET_FILE:kestrune>\"")
set(argparse_help ${CMAKE_CURRENT_SOURCE_DIR}/man/argparse_help.py)
set(report_program ${PROJECT_SOURCE_DIR}/tools/kestrune-report)
kestrune_program_for_help2man(kestrune-report "\"${argparse_help}\" \"${report_program}\"")

file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
set(KESTRUNE_MANUAL_PAGES "")
# kestrune_manual_page(NAME PROGRAM SUMMARY DEPENDS <what its --help comes from>)
# The version the page gives is the project's, the one `kestrune --version`
# prints: help2man would take the program's name from that line instead of
# the page's, and kestrune-report has no --version.
function(kestrune_manual_page name program summary)
  cmake_parse_arguments(PARSE_ARGV 3 page "" "" "DEPENDS")
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.1)
  set(include ${CMAKE_CURRENT_SOURCE_DIR}/man/${name}.h2m)
  add_custom_command(OUTPUT ${page}
    COMMAND ${KESTRUNE_HELP2MAN} --no-info --name ${summary} --include ${include}
            --version-string ${PROJECT_VERSION}
            --output ${page} ${program}
    DEPENDS ${include} ${page_DEPENDS} VERBATIM)
  kestrune_gzip(${page}.gz ${page})
  set(KESTRUNE_MANUAL_PAGES ${KESTRUNE_MANUAL_PAGES} ${page}.gz PARENT_SCOPE)
endfunction()

kestrune_manual_page(kestrune ${CMAKE_CURRENT_BINARY_DIR}/help2man/kestrune
  "measure how fast x86 move instructions read and write memory"
  DEPENDS kestrune)
kestrune_manual_page(kestrune-report ${CMAKE_CURRENT_BINARY_DIR}/help2man/kestrune-report
  "charts and data files from a saved Kestrune report"
  DEPENDS ${report_program} ${PROJECT_SOURCE_DIR}/tools/kestrune_report/cli.py ${argparse_help})

add_custom_target(manual_pages ALL DEPENDS ${KESTRUNE_MANUAL_PAGES})
install(FILES ${KESTRUNE_MANUAL_PAGES} DESTINATION share/man/man1)
