# Read by cpack before it makes the Debian package.
if(NOT CPACK_KESTRUNE_MANUAL_PAGES)
  message(FATAL_ERROR "The Debian package needs the manual pages, and CMake found no help2man to make them: "
                      "install Debian's help2man and configure again.")
endif()
# dpkg-shlibdeps looks for the libraries of the package's own architecture
# first (e.g. /usr/lib/i386-linux-gnu, not the multilib /usr/lib32 whose
# packages belong to the machine's architecture).
set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
