# The real driver: bayercam.sys, linked against ntoskrnl.exe, ks.sys and USBD.SYS only.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Frames with arrays or address-taken locals check a guard on return. The guard and the routine
# called on a mismatch are the driver's own (platform/kernel/stack_guard.cpp): -nostdlib keeps
# libssp out, and a global guard, not one at a segment offset, as gs is the kernel's.
set(BAYERCAM_KERNEL_CXX_FLAGS
    ${BAYERCAM_COMMON_FLAGS}
    -O2 -g -ffreestanding -fbuiltin -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fstack-protector-strong -mstack-protector-guard=global
    -fno-stack-check -mno-stack-arg-probe -fno-math-errno
    -mno-red-zone -march=x86-64 -mno-avx -Wframe-larger-than=2048
    -DPOOL_TAGGING -DNTDDI_VERSION=0x06010000 -D_WIN32_WINNT=0x0601 -DBAYERCAM_KERNEL=1)

file(GLOB BAYERCAM_KERNEL_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/kernel/*.cpp)

add_executable(bayercam_sys ${BAYERCAM_DRIVER_SOURCES} ${BAYERCAM_KERNEL_PLATFORM_SOURCES})
set_target_properties(bayercam_sys PROPERTIES OUTPUT_NAME bayercam SUFFIX .sys)
target_include_directories(bayercam_sys PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(bayercam_sys SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
target_compile_options(bayercam_sys PRIVATE ${BAYERCAM_KERNEL_CXX_FLAGS})
target_link_options(bayercam_sys PRIVATE
    -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,DriverEntry
    -Wl,--major-subsystem-version,10 -Wl,--minor-subsystem-version,0
    -Wl,--major-os-version,10 -Wl,--minor-os-version,0
    -Wl,--image-base,0x140000000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--dynamicbase -Wl,--enable-reloc-section -Wl,--nxcompat -Wl,--wdmdriver -Wl,--disable-auto-import
    -Wl,--disable-runtime-pseudo-reloc)
target_link_libraries(bayercam_sys PRIVATE ntoskrnl ks usbd)
# The AVX2 and AVX-512 pixel routines run only between a save and a restore of the extended
# processor state (platform/kernel/wide_vectors.cpp). Their code goes to a section of its own,
# .avxtext, so the image check can tell that no such instruction lies anywhere else. Only their
# files' plain .text moves: a COMDAT copy (.text$...) could be the one other files' calls bind
# to, and stays in .text where the check would find any wide instruction in it.
target_link_options(bayercam_sys PRIVATE -Wl,-T,${CMAKE_SOURCE_DIR}/kernel/avx-section.ld)
set_property(TARGET bayercam_sys APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/kernel/avx-section.ld)
# GCC does not align a Windows x64 stack frame beyond 16 bytes, yet spills 32- and 64-byte
# vectors with aligned moves: the assembler writes every aligned move as an unaligned one.
set_property(SOURCE imaging/bayer_avx2.cpp imaging/bayer_avx512.cpp APPEND PROPERTY
             COMPILE_OPTIONS -Wa,-muse-unaligned-vector-move)
# What ships is stripped; symbols and debug information go to bayercam.debug beside it, which a
# debugger finds through the image's .gnu_debuglink. objcopy writes the checksum anew.
set(BAYERCAM_OBJCOPY x86_64-w64-mingw32-objcopy)
set(BAYERCAM_DEBUG_FILE ${CMAKE_BINARY_DIR}/bayercam.debug)
add_custom_command(TARGET bayercam_sys POST_BUILD
    COMMAND ${BAYERCAM_OBJCOPY} --only-keep-debug $<TARGET_FILE:bayercam_sys> ${BAYERCAM_DEBUG_FILE}
    COMMAND ${BAYERCAM_OBJCOPY} --strip-all --add-gnu-debuglink=${BAYERCAM_DEBUG_FILE}
            $<TARGET_FILE:bayercam_sys>
    BYPRODUCTS ${BAYERCAM_DEBUG_FILE} VERBATIM)

enable_testing()
add_test(NAME kernel_image_checks
         COMMAND ${CMAKE_SOURCE_DIR}/kernel/check-image $<TARGET_FILE:bayercam_sys>
                 ${CMAKE_SOURCE_DIR}/kernel/imports.allow)

# Driver code never allocates executable pool.
add_test(NAME kernel_pool_types
         COMMAND ${CMAKE_SOURCE_DIR}/kernel/check-pool-types ${CMAKE_SOURCE_DIR}/driver
                 ${CMAKE_SOURCE_DIR}/usb ${CMAKE_SOURCE_DIR}/control ${CMAKE_SOURCE_DIR}/stream
                 ${CMAKE_SOURCE_DIR}/imaging)
add_test(NAME kernel_pool_types_reject_breaches
         COMMAND ${CMAKE_SOURCE_DIR}/kernel/check-pool-types ${CMAKE_SOURCE_DIR}/kernel/selftest)
set_tests_properties(kernel_pool_types_reject_breaches PROPERTIES
                     PASS_REGULAR_EXPRESSION "bad_driver.cpp: NonPagedPool")

# An image that breaks every rule, to show the checks above can fail.
add_executable(bad_image EXCLUDE_FROM_ALL kernel/selftest/bad_driver.cpp)
set_target_properties(bad_image PROPERTIES SUFFIX .sys)
target_include_directories(bad_image SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
target_compile_options(bad_image PRIVATE -O1 -g -ffreestanding -fno-exceptions -fno-rtti
                       -fno-stack-protector -DPOOL_TAGGING -Wno-attributes)
target_link_options(bad_image PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native
                    -Wl,--entry,DriverEntry -Wl,--disable-dynamicbase -Wl,--disable-reloc-section)
# A byte appended after linking, as by a tool that edits the image without re-summing it.
add_custom_command(TARGET bad_image POST_BUILD
                   COMMAND printf x >> $<TARGET_FILE:bad_image> VERBATIM)
target_link_libraries(bad_image PRIVATE ntoskrnl kernel32)
add_custom_target(kernel_selftest_image ALL DEPENDS bad_image)
add_test(NAME kernel_image_checks_reject_breaches
         COMMAND ${CMAKE_SOURCE_DIR}/kernel/check-image-selftest ${CMAKE_SOURCE_DIR}/kernel/check-image
                 $<TARGET_FILE:bad_image> ${CMAKE_SOURCE_DIR}/kernel/imports.allow)
