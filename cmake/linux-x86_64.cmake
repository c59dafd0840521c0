# Linux x86-64, the default target: the host's own GCC. Building without a
# toolchain file gives the same.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
