# Unit tests (GoogleTest through CTest) and benchmarks (Google Benchmark).

option(QN_BUILD_TESTS "Build the test suite" ${PROJECT_IS_TOP_LEVEL})
option(QN_BUILD_BENCHMARKS "Build the benchmarks" ${PROJECT_IS_TOP_LEVEL})

if(QN_BUILD_TESTS)
    enable_testing()
    find_package(GTest REQUIRED)
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
