# An i386 package built on an amd64 machine: dpkg-shlibdeps can name the
# right Debian packages only if the i386 libraries themselves are installed
# (libc6:i386, libstdc++6:i386, libgcc-s1:i386). The multilib copies that
# g++-multilib links against belong to amd64 packages (libc6-i386,
# lib32stdc++6), which an i386 package must not depend on. Without the i386
# libraries the package gets fixed dependencies instead: those dpkg-shlibdeps
# gives on Debian 12.
if(NOT KESTRUNE_DEB_ARCHITECTURE STREQUAL "i386")
  return()
endif()
foreach(library libc.so.6 libgcc_s.so.1 libstdc++.so.6)
  if(NOT EXISTS /usr/lib/i386-linux-gnu/${library} AND NOT EXISTS /lib/i386-linux-gnu/${library})
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11), python3")
    message(STATUS "No i386 ${library}: the i386 package gets fixed dependencies, not dpkg-shlibdeps' "
                   "(install libc6:i386 libstdc++6:i386 libgcc-s1:i386 for those)")
    break()
  endif()
endforeach()
