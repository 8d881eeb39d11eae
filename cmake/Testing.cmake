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

# qn_add_gtest(NAME sources... LIBS libs...): one test program whose cases
# CTest lists one by one.
function(qn_add_gtest name)
    if(NOT QN_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
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
