# The host build: the driver sources compiled natively against the user-mode platform in
# platform/host, with the simulated camera, the tests, the tools and the benchmarks.
if(BAYERCAM_SANITIZE)
  add_compile_options(-fsanitize=${BAYERCAM_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${BAYERCAM_SANITIZE})
endif()
if(NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  add_compile_definitions(BAYERCAM_HOST_CHECKS=1)
endif()

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)

file(GLOB BAYERCAM_HOST_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/host/*.cpp)
add_library(bayercam_platform STATIC ${BAYERCAM_HOST_PLATFORM_SOURCES})
target_include_directories(bayercam_platform PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(bayercam_platform PRIVATE ${BAYERCAM_COMMON_FLAGS})
target_link_libraries(bayercam_platform PUBLIC Threads::Threads PkgConfig::HIVEX)

# The loader of the shipped kernel image disassembles its code before running it.
pkg_check_modules(CAPSTONE REQUIRED IMPORTED_TARGET capstone>=4)
target_link_libraries(bayercam_platform PRIVATE PkgConfig::CAPSTONE)

# The imports the kernel image may have, compiled in from kernel/imports.allow (one
# "module name" pair a line), so the loader needs no file beside it at run time.
set(BAYERCAM_IMPORTS_ALLOW ${CMAKE_SOURCE_DIR}/kernel/imports.allow)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BAYERCAM_IMPORTS_ALLOW})
file(STRINGS ${BAYERCAM_IMPORTS_ALLOW} allow_lines)
set(allow_entries "// Generated from kernel/imports.allow; edit that file instead.\n")
foreach(line IN LISTS allow_lines)
  if(line MATCHES "^[ \t]*(#|$)")
    continue()
  endif()
  if(NOT line MATCHES "^[ \t]*([^ \t#\"]+)[ \t]+([^ \t#\"]+)[ \t]*$")
    message(FATAL_ERROR "kernel/imports.allow: not a \"module name\" line: ${line}")
  endif()
  string(APPEND allow_entries "{\"${CMAKE_MATCH_1}\", \"${CMAKE_MATCH_2}\"},\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/pe_imports_allow.inc
     CONTENT "${allow_entries}" @ONLY)
target_include_directories(bayercam_platform PRIVATE ${CMAKE_BINARY_DIR}/generated)

# The driver itself, under the same rules as in the kernel: no exceptions, no RTTI. Unwind
# tables stay, for the call stacks that pool refusals and sanitizers print.
add_library(bayercam_driver STATIC ${BAYERCAM_DRIVER_SOURCES})
target_compile_options(bayercam_driver PRIVATE ${BAYERCAM_COMMON_FLAGS} -fno-exceptions -fno-rtti
                       -fasynchronous-unwind-tables)
target_link_libraries(bayercam_driver PUBLIC bayercam_platform)

enable_testing()
foreach(dir sim tools tests bench)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()
