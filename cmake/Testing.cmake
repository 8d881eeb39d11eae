# Unit tests (GoogleTest through CTest) and benchmarks (Google Benchmark).

option(QN_BUILD_TESTS "Build the test suite" ${PROJECT_IS_TOP_LEVEL})
# Benchmarks measure the build machine; a cross build leaves them out.
if(PROJECT_IS_TOP_LEVEL AND NOT CMAKE_CROSSCOMPILING)
    set(qn_benchmarks_default ON)
else()
    set(qn_benchmarks_default OFF)
endif()
option(QN_BUILD_BENCHMARKS "Build the benchmarks" ${qn_benchmarks_default})

set(QN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest source, built for the target when cross compiling")

if(QN_BUILD_TESTS)
    enable_testing()
    if(CMAKE_CROSSCOMPILING)
        find_package(GTest QUIET)
    else()
        find_package(GTest REQUIRED)
    endif()
    if(NOT GTest_FOUND)
        # The target sysroot has no GoogleTest: build it with the kit.
        set(INSTALL_GTEST OFF CACHE BOOL "Install GoogleTest with the kit" FORCE)
        add_subdirectory(${QN_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
        # Third-party code: GCC 12 gives false -Wrestrict alarms in it.
        foreach(lib gtest gtest_main gmock gmock_main)
            target_compile_options(${lib} PRIVATE -w)
        endforeach()
    endif()
    include(GoogleTest)
endif()

if(QN_BUILD_BENCHMARKS)
    find_package(benchmark REQUIRED)
endif()

# Host programs that check a cross build's numbers (the numpy oracles) run
# with glibc's generic code for cos, sin, exp and pow, as the board's libm
# does: on x86_64, glibc otherwise picks variants compiled for FMA, whose
# results can differ in the last bit.
if(CMAKE_CROSSCOMPILING)
    set(QN_HOST_CHECK_ENVIRONMENT "GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA")
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " qn_emulator)
    # Tests may adapt to what the emulator cannot do; it is named here.
    set(QN_GTEST_ENVIRONMENT "QN_TARGET_EMULATOR=${qn_emulator}")
else()
    set(QN_HOST_CHECK_ENVIRONMENT "")
    set(QN_GTEST_ENVIRONMENT "")
endif()

# qn_add_gtest(NAME sources... LIBS libs...): one test program whose cases
# CTest lists one by one.
function(qn_add_gtest name)
    if(NOT QN_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    # Empty values would shift the property list: give only those set.
    set(properties "")
    if(ARG_LABELS)
        list(APPEND properties LABELS "${ARG_LABELS}")
    endif()
    if(QN_GTEST_ENVIRONMENT)
        list(APPEND properties ENVIRONMENT "${QN_GTEST_ENVIRONMENT}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# qn_add_benchmark(NAME sources... LIBS libs...): built, never run by CTest.
function(qn_add_benchmark name)
    if(NOT QN_BUILD_BENCHMARKS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
endfunction()

# qn_target_program(VAR target): path of a command that runs the target's
# program on this machine, for tests that start kit programs themselves
# (CTest adds the emulator only to the commands it starts). That is the
# program itself, or in a cross build a script of the same name starting it
# under the emulator, through a link named like the program so that the
# process keeps the program's name (/proc/PID/comm) as on the board.
function(qn_target_program var target)
    if(NOT CMAKE_CROSSCOMPILING)
        set(${var} $<TARGET_FILE:${target}> PARENT_SCOPE)
        return()
    endif()
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/on-target)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR})
    list(POP_FRONT CMAKE_CROSSCOMPILING_EMULATOR emulator)
    file(MAKE_DIRECTORY ${dir}/emulator)
    file(CREATE_LINK ${emulator} ${dir}/emulator/${target} SYMBOLIC)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "\" \"" options)
    file(GENERATE OUTPUT ${dir}/${target}
        CONTENT "#!/bin/sh\nexec \"${dir}/emulator/${target}\" \"${options}\" \"$<TARGET_FILE:${target}>\" \"$@\"\n"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(${var} ${dir}/${target} PARENT_SCOPE)
endfunction()

# qn_add_seam_build(MODULE): MODULE_seam, a test build of the module's
# library from the same sources and flags, whose kernel calls go through the
# test support's kernel stand-in (QN_KERNEL_SEAM). The shipped library
# carries no such hook.
function(qn_add_seam_build module)
    if(NOT QN_BUILD_TESTS)
        return()
    endif()
    get_target_property(sources ${module} SOURCES)
    get_target_property(source_dir ${module} SOURCE_DIR)
    list(TRANSFORM sources PREPEND ${source_dir}/ REGEX "^[^/]")
    add_library(${module}_seam STATIC EXCLUDE_FROM_ALL ${sources})
    foreach(property INCLUDE_DIRECTORIES COMPILE_OPTIONS COMPILE_DEFINITIONS LINK_LIBRARIES
                     INTERFACE_INCLUDE_DIRECTORIES INTERFACE_LINK_LIBRARIES)
        get_target_property(value ${module} ${property})
        if(value)
            set_property(TARGET ${module}_seam PROPERTY ${property} "${value}")
        endif()
    endforeach()
    # Its tests see the module's internal headers as the test build has them.
    target_compile_definitions(${module}_seam PUBLIC QN_KERNEL_SEAM)
    target_include_directories(${module}_seam PUBLIC ${source_dir}/src)
    target_link_libraries(${module}_seam PUBLIC qn_test_support)
endfunction()
include(Fuzzing)
