# Linux i386: the host's GCC with -m32 (Debian g++-multilib). Debian's -m32
# leaves MMX and SSE off, so everything but the SIMD kernels (which carry
# their own target attributes) runs on a processor without them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
# Test programs run directly when the kernel runs 32-bit programs, otherwise
# under qemu-i386: see host_runs_i386.cmake.
