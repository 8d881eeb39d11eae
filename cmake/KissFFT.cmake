# KISS FFT with double-precision scalars, as the target kissfft_double.
#
# A board SDK's installed double-precision build is used when present.
# Otherwise the source fetched by scripts/bootstrap is compiled here as an
# object library whose objects go into libspectrum.a, so that board
# applications link nothing else. Its own build adds -ffast-math; we don't,
# so the transform gives the same results on every target.

set(QN_KISSFFT_SOURCE_DIR "${PROJECT_SOURCE_DIR}/third_party/kissfft"
    CACHE PATH "KISS FFT source tree (fetched by scripts/bootstrap)")

find_package(kissfft CONFIG QUIET COMPONENTS double STATIC)

if(TARGET kissfft::kissfft-double)
    message(STATUS "KISS FFT: installed double-precision build")
    set(QN_KISSFFT_BUNDLED OFF)
    add_library(kissfft_double INTERFACE)
    target_link_libraries(kissfft_double INTERFACE kissfft::kissfft-double)
else()
    if(NOT EXISTS "${QN_KISSFFT_SOURCE_DIR}/kiss_fftr.c")
        message(FATAL_ERROR "KISS FFT source not found in ${QN_KISSFFT_SOURCE_DIR}; run scripts/bootstrap")
    endif()
    message(STATUS "KISS FFT: built from ${QN_KISSFFT_SOURCE_DIR}")
    set(QN_KISSFFT_BUNDLED ON)
    add_library(kissfft_double OBJECT
        ${QN_KISSFFT_SOURCE_DIR}/kiss_fft.c
        ${QN_KISSFFT_SOURCE_DIR}/kiss_fftr.c)
    target_include_directories(kissfft_double SYSTEM PUBLIC
        $<BUILD_INTERFACE:${QN_KISSFFT_SOURCE_DIR}>)
    target_compile_definitions(kissfft_double PUBLIC kiss_fft_scalar=double)
    # The bundled copy is the module's own: its functions get a prefix so
    # that a board application linking another KISS FFT (float, say) never
    # has one copy serve the other's callers.
    foreach(fn kiss_fft_alloc kiss_fft kiss_fft_stride kiss_fft_cleanup
               kiss_fft_next_fast_size kiss_fftr_alloc kiss_fftr kiss_fftri)
        target_compile_definitions(kissfft_double PUBLIC ${fn}=qn_${fn})
    endforeach()
    # GCC vectorises its complex products into fused multiply-add wherever
    # the target CPU has it (-march=x86-64-v3, say), -ffp-contract=off
    # notwithstanding; that changes the magnitudes. Its loops gain little
    # from vectors with double scalars, so none are made.
    target_compile_options(kissfft_double PRIVATE -fno-fast-math -fno-tree-vectorize -Wno-sign-compare)
endif()
