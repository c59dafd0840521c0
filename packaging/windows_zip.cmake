# The Windows zip kestrune-<version>-win32.zip or -win64.zip: one folder of
# that name holding kestrune.exe (linked statically, so nothing else is
# needed), README.txt and LICENSE.txt, both with Windows line ends so that
# Notepad shows their lines.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KESTRUNE_WINDOWS_KIND win32)
  set(KESTRUNE_WINDOWS_RUNS_ON "32- and 64-bit Windows")
else()
  set(KESTRUNE_WINDOWS_KIND win64)
  set(KESTRUNE_WINDOWS_RUNS_ON "64-bit Windows (x64)")
endif()
set(KESTRUNE_ZIP_FILE ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${KESTRUNE_WINDOWS_KIND}.zip)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${KESTRUNE_WINDOWS_KIND})

# Unpacked and run where it lands: the .exe sits at the top of its folder.
install(TARGETS kestrune RUNTIME DESTINATION .)

set(text_dir ${CMAKE_CURRENT_BINARY_DIR}/windows)
configure_file(windows/README.txt.in ${text_dir}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${text_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${text_dir}/README.txt ${text_dir}/LICENSE.txt DESTINATION .)
