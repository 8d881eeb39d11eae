# Installs one library module for board applications, in the install
# component "development":
#   LIBDIR/lib<name>.a, include/<header>, LIBDIR/pkgconfig/<name>.pc and a
#   CMake package LIBDIR/cmake/<name> giving the target <name>::<name>.
# LIBDIR is CMAKE_INSTALL_LIBDIR (lib/<multiarch triplet> on Debian, see the
# top-level CMakeLists.txt). The .pc file locates itself (pcfiledir), so the
# tree works wherever it is installed with --prefix.

include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

set(QN_INSTALL_MODULE_DIR "${CMAKE_CURRENT_LIST_DIR}")

# qn_install_module(NAME name HEADER path DESCRIPTION text
#                   [LIBS_PRIVATE flags...] [DEPENDENCIES cmake-lines...])
# LIBS_PRIVATE: what the library itself links. There is no shared library
# to carry it, so the .pc file lists it in Libs: a plain "pkg-config --libs"
# must link too.
function(qn_install_module)
    cmake_parse_arguments(ARG "" "NAME;HEADER;DESCRIPTION" "LIBS_PRIVATE;DEPENDENCIES" ${ARGN})
    set(name ${ARG_NAME})
    set_property(GLOBAL APPEND PROPERTY QN_INSTALLED_MODULES ${name})

    # C programs link the module: its code must need nothing from the C++
    # runtime (no exceptions, RTTI or guarded statics).
    target_compile_options(${name} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>)
    set_target_properties(${name} PROPERTIES PUBLIC_HEADER "${ARG_HEADER}")
    set(libdir ${CMAKE_INSTALL_LIBDIR})
    set(includedir ${CMAKE_INSTALL_INCLUDEDIR})
    install(TARGETS ${name} EXPORT ${name}Targets COMPONENT development
            ARCHIVE DESTINATION ${libdir}
            LIBRARY DESTINATION ${libdir}
            PUBLIC_HEADER DESTINATION ${includedir}
            INCLUDES DESTINATION ${includedir})
    install(EXPORT ${name}Targets NAMESPACE ${name}:: DESTINATION ${libdir}/cmake/${name}
            COMPONENT development)

    list(JOIN ARG_LIBS_PRIVATE " " QN_PC_LIBS_PRIVATE)
    set(QN_PC_NAME ${name})
    set(QN_PC_DESCRIPTION "${ARG_DESCRIPTION}")
    set(QN_PC_VERSION ${PROJECT_VERSION})
    # From the .pc file's folder up to the prefix: one step per component.
    file(RELATIVE_PATH QN_PC_TO_PREFIX /prefix/${libdir}/pkgconfig /prefix)
    string(REGEX REPLACE "/$" "" QN_PC_TO_PREFIX "${QN_PC_TO_PREFIX}")
    set(QN_PC_LIBDIR ${libdir})
    set(QN_PC_INCLUDEDIR ${includedir})
    configure_file(${QN_INSTALL_MODULE_DIR}/module.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc DESTINATION ${libdir}/pkgconfig
            COMPONENT development)

    list(JOIN ARG_DEPENDENCIES "\n" QN_CONFIG_DEPENDENCIES)
    set(QN_CONFIG_NAME ${name})
    configure_package_config_file(${QN_INSTALL_MODULE_DIR}/moduleConfig.cmake.in
        ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
        INSTALL_DESTINATION ${libdir}/cmake/${name})
    write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
                  ${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
            DESTINATION ${libdir}/cmake/${name} COMPONENT development)
endfunction()
