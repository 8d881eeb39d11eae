# Read by cpack before it packages. dpkg-shlibdeps looks for the programs'
# libraries among those of the packages' architecture, the board's in a
# cross build.
set(ENV{DEB_HOST_ARCH} "${CPACK_QN_DEB_HOST_ARCH}")
