# The kernel, extension and record-field tables as JSON (KESTRUNE_TABLES_JSON) for the report
# tool and the tests: tools/write_tables_json.cpp includes the same .def files
# the program does. It runs on the machine that builds, so it is compiled by
# that machine's compiler, whatever the target's.
find_program(KESTRUNE_BUILD_CXX NAMES g++ c++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(KESTRUNE_TABLES_JSON ${CMAKE_BINARY_DIR}/tables.json)
set(writer ${CMAKE_BINARY_DIR}/write_tables_json)
set(writer_source ${PROJECT_SOURCE_DIR}/tools/write_tables_json.cpp)
add_custom_command(OUTPUT ${writer}
  COMMAND ${KESTRUNE_BUILD_CXX} -std=c++17 -Wall -Wextra -Wpedantic -I${PROJECT_SOURCE_DIR}
          -MD -MF ${writer}.d -o ${writer} ${writer_source}
  DEPFILE ${writer}.d
  DEPENDS ${writer_source}
  COMMENT "Building the table writer for the build machine" VERBATIM)
add_custom_command(OUTPUT ${KESTRUNE_TABLES_JSON}
  COMMAND ${writer} ${KESTRUNE_TABLES_JSON}
  DEPENDS ${writer}
  COMMENT "Writing the kernel, extension and record-field tables as JSON" VERBATIM)
add_custom_target(kestrune_tables_json ALL DEPENDS ${KESTRUNE_TABLES_JSON})
