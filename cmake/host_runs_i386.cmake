# The test programs of the Linux i386 target run directly where the kernel
# runs 32-bit programs. Some kernels run 64-bit programs only (built without
# IA-32 emulation, or under a hypervisor that cannot run 32-bit code); there
# qemu-i386 runs them, as it would a program for another processor.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_SIZEOF_VOID_P EQUAL 4
   AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(check_dir ${CMAKE_BINARY_DIR}/host-runs-i386)
  file(WRITE ${check_dir}/main.cpp "int main() { return 0; }\n")
  try_compile(check_built ${check_dir}/build SOURCES ${check_dir}/main.cpp COPY_FILE ${check_dir}/main)
  if(NOT check_built)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} cannot build for i386 (is g++-multilib installed?)")
  endif()
  execute_process(COMMAND ${check_dir}/main RESULT_VARIABLE check_ran OUTPUT_QUIET ERROR_QUIET)
  if(NOT check_ran STREQUAL "0")
    find_program(KESTRUNE_QEMU_I386 qemu-i386 REQUIRED)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUNE_QEMU_I386})
    message(STATUS "This kernel runs no 32-bit programs; the tests run them under ${KESTRUNE_QEMU_I386}")
  endif()
endif()
