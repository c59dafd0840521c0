# The manual pages kestrune(1) and kestrune-report(1), made by Debian's
# help2man from each program's own --help at build time, so that a page cannot
# say other than its program does. man/<program>.h2m adds the sections --help
# does not carry.
find_program(KESTRUNE_HELP2MAN help2man)
if(NOT KESTRUNE_HELP2MAN)
  message(STATUS "help2man not found: no manual pages, so no Debian package (Debian package help2man)")
  return()
endif()

# help2man names the page after the program it runs, and a cross build's
# program may need its emulator, so it runs this script named kestrune.
set(emulator "")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  string(APPEND emulator " ")
endif()
set(kestrune_for_help2man ${CMAKE_CURRENT_BINARY_DIR}/help2man/kestrune)
file(GENERATE OUTPUT ${kestrune_for_help2man}
  CONTENT "#!/bin/sh\nexec ${emulator}\"$<TARGET_FILE:kestrune>\" \"$@\"\n"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
set(KESTRUNE_MANUAL_PAGES "")
# kestrune_manual_page(NAME PROGRAM SUMMARY DEPENDS <what its --help comes from>
#                      [HELP2MAN <more help2man options>])
function(kestrune_manual_page name program summary)
  cmake_parse_arguments(PARSE_ARGV 3 page "" "" "DEPENDS;HELP2MAN")
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.1)
  set(include ${CMAKE_CURRENT_SOURCE_DIR}/man/${name}.h2m)
  add_custom_command(OUTPUT ${page}
    COMMAND ${KESTRUNE_HELP2MAN} --no-info --name ${summary} --include ${include} ${page_HELP2MAN}
            --output ${page} ${program}
    DEPENDS ${include} ${page_DEPENDS} VERBATIM)
  kestrune_gzip(${page}.gz ${page})
  set(KESTRUNE_MANUAL_PAGES ${KESTRUNE_MANUAL_PAGES} ${page}.gz PARENT_SCOPE)
endfunction()

kestrune_manual_page(kestrune ${kestrune_for_help2man}
  "measure how fast x86 move instructions read and write memory"
  DEPENDS kestrune ${kestrune_for_help2man})
# The report tool has no --version of its own: it is the project's version.
kestrune_manual_page(kestrune-report ${PROJECT_SOURCE_DIR}/tools/kestrune-report
  "charts and data files from a saved Kestrune report"
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/kestrune-report ${PROJECT_SOURCE_DIR}/tools/kestrune_report/cli.py
  HELP2MAN --version-string ${PROJECT_VERSION})

add_custom_target(manual_pages ALL DEPENDS ${KESTRUNE_MANUAL_PAGES})
install(FILES ${KESTRUNE_MANUAL_PAGES} DESTINATION share/man/man1)
