# Run by cpack once the packages are made (CPACK_PACKAGE_FILES). CMake 3.25's
# DEB generator writes no Multi-Arch field, and in a cross build
# dpkg-shlibdeps names the board's libraries after the cross toolchain's
# packages (libc6:armhf, libgcc-s1-armhf-cross). Such a control file is
# rewritten, with the board's own package names, and the package rebuilt.

cmake_policy(VERSION 3.25)

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    set(tree ${deb}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(READ ${tree}/DEBIAN/control control)
    set(original "${control}")

    string(REGEX MATCH "(^|\n)Package: ([^\n]*)" unused "${control}")
    if(CMAKE_MATCH_2 IN_LIST CPACK_QN_MULTIARCH_SAME AND NOT control MATCHES "\nMulti-Arch:")
        string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*)" "\\1\\2\nMulti-Arch: same" control "${control}")
    endif()

    string(REGEX MATCH "(^|\n)Depends: [^\n]*" depends "${control}")
    if(depends)
        string(REPLACE "-${CPACK_QN_DEB_HOST_ARCH}-cross" "" board_depends "${depends}")
        string(REPLACE ":${CPACK_QN_DEB_HOST_ARCH}" "" board_depends "${board_depends}")
        string(REPLACE "${depends}" "${board_depends}" control "${control}")
    endif()

    if(NOT control STREQUAL original)
        file(WRITE ${tree}/DEBIAN/control "${control}")
        execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb}
                        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    endif()
    file(REMOVE_RECURSE ${tree})
endforeach()
