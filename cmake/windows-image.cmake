# The images link only the libraries that they name (both toolchains).
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Code generation for an image with no C runtime: nothing may call into a
# library that the image does not import, and no start-up code runs before ours.
set(FREESTANDING_FLAGS
  -ffreestanding
  -fno-exceptions
  -fno-rtti
  -fno-asynchronous-unwind-tables
  -fno-unwind-tables
  -fno-stack-protector
  -fno-stack-check
  -mno-stack-arg-probe
  # loops must not become calls to memset, memcpy or strlen
  -fno-tree-loop-distribute-patterns
  # no compiler identification string in the image
  -fno-ident
  # no build path in the image
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
target_compile_options(installer PRIVATE ${FREESTANDING_FLAGS})

# The linker's name of a stdcall entry point: x86 decorates it with the bytes of
# its arguments, x86-64 has a single calling convention and no decoration.
function(entry_symbol variable name argument_bytes)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(${variable} ${name} PARENT_SCOPE)
  else()
    set(${variable} _${name}@${argument_bytes} PARENT_SCOPE)
  endif()
endfunction()
entry_symbol(IMAGE_ENTRY ImageStartup 0)
entry_symbol(NOOP_ENTRY NoopStartup 0)
entry_symbol(REFERENCE_ENTRY ReferenceStartup 0)
entry_symbol(DLL_ENTRY DllMain 12)

# The image: a GUI program (32-bit, or the 64-bit twin) importing CRYPT32, KERNEL32 and USER32 only.
add_executable(install-ca-certs
  src/app/main.cpp
  src/app/command_tail.cpp
  src/app/load_config.cpp
  res/install-ca-certs.rc)
target_include_directories(install-ca-certs PRIVATE src/app res)
target_compile_options(install-ca-certs PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${PROJECT_WARNINGS} ${FREESTANDING_FLAGS}>)
# libgcc last, for any helper the compiler calls; it brings no DLL.
target_link_libraries(install-ca-certs PRIVATE installer crypt32 kernel32 user32 gcc)
# Shared by the image and the benchmark's do-nothing baseline.
set(IMAGE_LINK_OPTIONS
  -nostdlib
  -s
  -Wl,--subsystem=windows:6.0
  -Wl,--major-os-version=6 -Wl,--minor-os-version=0
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  "SHELL:-Xlinker --stack=0x100000,0x1000" "SHELL:-Xlinker --heap=0x100000,0x1000"
  # reproducible: no time stamp, no build path
  -Wl,--no-insert-timestamp)
target_link_options(install-ca-certs PRIVATE ${IMAGE_LINK_OPTIONS}
  -Wl,--entry=${IMAGE_ENTRY}
  -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/install-ca-certs.map)

# The load configuration is in the image; GNU ld leaves the header's directory
# empty, so the build points it there.
set(SET_LOAD_CONFIG /usr/bin/python3 ${CMAKE_SOURCE_DIR}/scripts/set-load-config.py)
add_custom_command(TARGET install-ca-certs POST_BUILD
  COMMAND ${SET_LOAD_CONFIG} $<TARGET_FILE:install-ca-certs>
          ${CMAKE_CURRENT_BINARY_DIR}/install-ca-certs.map)

add_executable(noop-image tests/bench/noop_image.cpp)
target_compile_definitions(noop-image PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_compile_options(noop-image PRIVATE ${PROJECT_WARNINGS} ${FREESTANDING_FLAGS})
target_link_libraries(noop-image PRIVATE crypt32 kernel32 user32)
target_link_options(noop-image PRIVATE ${IMAGE_LINK_OPTIONS} -Wl,--entry=${NOOP_ENTRY})

# The benchmark's limit: the installer's CRYPT32 calls and nothing else.
add_executable(reference-calls tests/bench/reference_calls.cpp)
target_compile_options(reference-calls PRIVATE ${PROJECT_WARNINGS} ${FREESTANDING_FLAGS})
target_link_libraries(reference-calls PRIVATE installer crypt32 kernel32)
target_link_options(reference-calls PRIVATE ${IMAGE_LINK_OPTIONS} -Wl,--entry=${REFERENCE_ENTRY})

# The same calls, each timed inside the process; an ordinary program.
add_executable(call-profile tests/bench/call_profile.cpp)
target_compile_options(call-profile PRIVATE ${PROJECT_WARNINGS})
target_link_libraries(call-profile PRIVATE installer crypt32)
target_link_options(call-profile PRIVATE -static)

enable_testing()
set(SYSTEM_PYTHON /usr/bin/python3)  # Debian's, which sees python3-pefile

include(cmake/kit.cmake)
add_subdirectory(tests/e2e)  # the Windows helpers of the end-to-end tests

# The shipped image's tree runs every test, the twin's included; the twin's tree
# only builds.
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  include(cmake/windows-tests.cmake)
endif()
