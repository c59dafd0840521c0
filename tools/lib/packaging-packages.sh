# Sourced by the scripts that make or test the packages: the Debian packages
# they need beyond the compilers.
# - help2man makes the manual pages; dpkg-dev's dpkg-shlibdeps (which needs
#   file) finds the .deb's dependencies;
# - the i386 libraries let dpkg-shlibdeps name an i386 package's
#   dependencies rather than the amd64 multilib ones.
PACKAGING_PACKAGES=(help2man dpkg-dev file binutils libc6:i386 libstdc++6:i386 libgcc-s1:i386)
# lintian and man-db check the .deb and its pages.
PACKAGE_TEST_PACKAGES=(lintian man-db)
