# The packages as a user meets them, checked in the build of the target that
# makes them. Making the package is the first test, a fixture of the others,
# so that a build without tests stays as quick as before.
set(package_dir ${CMAKE_BINARY_DIR}/package-test)
add_test(NAME package
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake -B ${package_dir})
set_tests_properties(package PROPERTIES FIXTURES_SETUP package)

set(emulator "")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
endif()
set(tests_dir ${PROJECT_SOURCE_DIR}/tests)

if(WIN32)
  # Under Wine, in the prefix the other Windows tests run in.
  add_test(NAME zip_package
    COMMAND ${KESTRUNE_PYTHON} ${tests_dir}/zip_package.py
            --zip ${package_dir}/${KESTRUNE_ZIP_FILE} --version ${PROJECT_VERSION} --runner "${emulator}"
            --table ${KESTRUNE_TABLES_JSON} --licence ${PROJECT_SOURCE_DIR}/LICENSE)
  set_tests_properties(zip_package PROPERTIES FIXTURES_REQUIRED "package;wine_nt" TIMEOUT 600
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine/nt;PYTHONDONTWRITEBYTECODE=1")
else()
  add_test(NAME deb_package
    COMMAND ${KESTRUNE_PYTHON} ${tests_dir}/deb_package.py
            --deb ${package_dir}/${KESTRUNE_DEB_FILE} --version ${PROJECT_VERSION}
            --architecture ${KESTRUNE_DEB_ARCHITECTURE} --runner "${emulator}"
            --report-source ${PROJECT_SOURCE_DIR}/tools/kestrune_report
            --report-program ${PROJECT_SOURCE_DIR}/tools/kestrune-report
            --saved-report ${PROJECT_SOURCE_DIR}/tools/tests/fixtures/full-run.txt)
  # The source tree's report tool, which the installed one is compared with,
  # reads the build's tables.
  set_tests_properties(deb_package PROPERTIES FIXTURES_REQUIRED package TIMEOUT 600
    ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1;KESTRUNE_TABLES=${KESTRUNE_TABLES_JSON}")
endif()
