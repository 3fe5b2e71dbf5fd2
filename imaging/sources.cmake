list(APPEND BAYERCAM_DRIVER_SOURCES
     imaging/pipeline_state.cpp
     imaging/color_matrix.cpp
     imaging/rounded_trig.cpp
     imaging/raw_intake.cpp
     imaging/bayer_sse2.cpp
     imaging/bayer_avx2.cpp
     imaging/bayer_avx512.cpp)
# Only these two files are built for the wide instruction sets; nothing else may contain their
# instructions, as the processor may lack them (the kernel image also keeps them in a section
# of their own, kernel/kernel.cmake).
set_source_files_properties(imaging/bayer_avx2.cpp PROPERTIES COMPILE_OPTIONS -mavx2)
# GCC 12 at -O3 takes the pass-through operand its AVX-512 intrinsics leave undefined (a
# self-initialised variable) for a read of an uninitialised value. The same kernels are
# compiled with these warnings on for SSE2 and AVX2.
set_source_files_properties(
  imaging/bayer_avx512.cpp PROPERTIES COMPILE_OPTIONS
  "-mavx2;-mavx512f;-mavx512bw;-mavx512vbmi;$<$<CXX_COMPILER_ID:GNU>:-Wno-uninitialized;-Wno-maybe-uninitialized>")
