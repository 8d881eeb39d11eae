# Fuzz targets: functions LLVMFuzzerTestOneInput(data, size) with a committed
# seed corpus and dictionary each.
#
# Every build with tests replays each corpus once (CTest NAME_corpus, label
# fuzz): a g++ build links the target with a small replay main, a board
# build runs it under the emulator. With QN_BUILD_FUZZERS=ON and clang on
# the build machine the targets are also built with libFuzzer, ASan and
# UBSan in a clang build of their own (fuzz-engine/ in the build folder),
# and CTest runs each for QN_FUZZ_SECONDS with a fixed seed (NAME_engine).
# scripts/fuzz runs a longer campaign.

option(QN_BUILD_FUZZERS "Build the fuzz targets with libFuzzer (needs clang) and run each for a while in CTest" OFF)
set(QN_FUZZ_SECONDS 30 CACHE STRING "Seconds each libFuzzer run of CTest lasts")

set(QN_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/../tests/fuzz)
cmake_path(NORMAL_PATH QN_FUZZ_DIR)

# The build that links libFuzzer: clang, every object instrumented for
# coverage so that the engine also sees into the libraries a target uses.
if(QN_BUILD_FUZZERS AND CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT CMAKE_CROSSCOMPILING)
    set(QN_FUZZ_ENGINE ON)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
    add_custom_target(qn_fuzzers)
else()
    set(QN_FUZZ_ENGINE OFF)
endif()

# A g++ build runs the engine build beside it.
if(QN_BUILD_FUZZERS AND NOT QN_FUZZ_ENGINE AND NOT CMAKE_CROSSCOMPILING)
    find_program(QN_FUZZ_CLANGXX NAMES clang++-14 clang++)
    find_program(QN_FUZZ_CLANG NAMES clang-14 clang)
    if(QN_FUZZ_CLANGXX AND QN_FUZZ_CLANG)
        include(ExternalProject)
        set(QN_FUZZ_ENGINE_DIR ${PROJECT_BINARY_DIR}/fuzz-engine)
        ExternalProject_Add(qn_fuzz_engine
            SOURCE_DIR ${PROJECT_SOURCE_DIR}
            BINARY_DIR ${QN_FUZZ_ENGINE_DIR}
            CMAKE_ARGS -DCMAKE_C_COMPILER=${QN_FUZZ_CLANG} -DCMAKE_CXX_COMPILER=${QN_FUZZ_CLANGXX}
                       -DCMAKE_BUILD_TYPE=Release -DQN_BUILD_FUZZERS=ON -DQN_BUILD_TESTS=OFF
                       -DQN_BUILD_BENCHMARKS=OFF
            BUILD_COMMAND ${CMAKE_COMMAND} --build ${QN_FUZZ_ENGINE_DIR} --target qn_fuzzers
            INSTALL_COMMAND ""
            BUILD_ALWAYS ON
            USES_TERMINAL_BUILD ON)
    else()
        message(STATUS "Fuzz targets: no clang, so corpus replay only")
    endif()
endif()

# qn_add_fuzzer(NAME SOURCES files... [LIBS libs...] CORPUS dir DICT file
#               [LABELS labels...])
# One fuzz target. SOURCES define LLVMFuzzerTestOneInput (and may define
# LLVMFuzzerInitialize); CORPUS and DICT are relative to the calling folder.
function(qn_add_fuzzer name)
    cmake_parse_arguments(ARG "" "CORPUS;DICT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT ARG_SOURCES OR NOT ARG_CORPUS OR NOT ARG_DICT)
        message(FATAL_ERROR "qn_add_fuzzer(${name}): SOURCES, CORPUS and DICT are needed")
    endif()
    cmake_path(ABSOLUTE_PATH ARG_CORPUS)
    cmake_path(ABSOLUTE_PATH ARG_DICT)

    set(support ${QN_FUZZ_DIR}/fuzz_support.cpp)
    if(QN_FUZZ_ENGINE)
        add_executable(${name} ${ARG_SOURCES} ${support})
        target_include_directories(${name} PRIVATE ${QN_FUZZ_DIR})
        target_link_libraries(${name} PRIVATE ${ARG_LIBS})
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        add_dependencies(qn_fuzzers ${name})
        # Where scripts/fuzz finds the corpus and dictionary.
        file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}.fuzz "${ARG_CORPUS}\n${ARG_DICT}\n")
        return()
    endif()
    if(NOT QN_BUILD_TESTS)
        return()
    endif()

    add_executable(${name} ${ARG_SOURCES} ${support} ${QN_FUZZ_DIR}/replay_main.cpp)
    target_include_directories(${name} PRIVATE ${QN_FUZZ_DIR})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    add_test(NAME ${name}_corpus COMMAND ${name} ${ARG_CORPUS})
    set_tests_properties(${name}_corpus PROPERTIES LABELS "fuzz;${ARG_LABELS}" TIMEOUT 120)

    if(TARGET qn_fuzz_engine)
        file(RELATIVE_PATH folder ${PROJECT_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR})
        add_test(NAME ${name}_engine
            COMMAND ${QN_FUZZ_DIR}/run_engine.sh ${QN_FUZZ_ENGINE_DIR}/${folder}/${name}
                    ${ARG_CORPUS} ${ARG_DICT} ${QN_FUZZ_SECONDS}
                    ${CMAKE_CURRENT_BINARY_DIR}/${name}-run)
        math(EXPR timeout "${QN_FUZZ_SECONDS} * 3 + 60")
        set_tests_properties(${name}_engine PROPERTIES
            LABELS "fuzz;${ARG_LABELS}" TIMEOUT ${timeout})
    endif()
endfunction()
