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

# The image: a 32-bit GUI program importing CRYPT32, KERNEL32 and USER32 only.
add_executable(install-ca-certs
  src/app/main.cpp
  src/app/command_tail.cpp
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
  -Wl,--entry=_ImageStartup@0
  -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/install-ca-certs.map)

add_executable(noop-image tests/bench/noop_image.cpp)
target_compile_definitions(noop-image PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_compile_options(noop-image PRIVATE ${PROJECT_WARNINGS} ${FREESTANDING_FLAGS})
target_link_libraries(noop-image PRIVATE crypt32 kernel32 user32)
target_link_options(noop-image PRIVATE ${IMAGE_LINK_OPTIONS} -Wl,--entry=_NoopStartup@0)

# The benchmark's limit: the installer's CRYPT32 calls and nothing else.
add_executable(reference-calls tests/bench/reference_calls.cpp)
target_compile_options(reference-calls PRIVATE ${PROJECT_WARNINGS} ${FREESTANDING_FLAGS})
target_link_libraries(reference-calls PRIVATE installer crypt32 kernel32)
target_link_options(reference-calls PRIVATE ${IMAGE_LINK_OPTIONS} -Wl,--entry=_ReferenceStartup@0)

# The same calls, each timed inside the process; an ordinary program.
add_executable(call-profile tests/bench/call_profile.cpp)
target_compile_options(call-profile PRIVATE ${PROJECT_WARNINGS})
target_link_libraries(call-profile PRIVATE installer crypt32)
target_link_options(call-profile PRIVATE -static)

enable_testing()
set(SYSTEM_PYTHON /usr/bin/python3)  # Debian's, which sees python3-pefile

include(cmake/kit.cmake)

add_test(NAME image.properties
         COMMAND ${SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tests/image/check_image.py
                 $<TARGET_FILE:install-ca-certs> ${CMAKE_SOURCE_DIR}/res/install-ca-certs.manifest
                 ${CMAKE_CURRENT_BINARY_DIR}/install-ca-certs.map
                 ${CMAKE_SOURCE_DIR}/src/installer/embedded_certificates.cpp ${CMAKE_SOURCE_DIR})

add_subdirectory(tests/e2e)

add_test(NAME image.reproducible
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/image/check_reproducible.sh ${CMAKE_SOURCE_DIR}
                 ${CMAKE_CURRENT_BINARY_DIR}/reproducible $<TARGET_FILE:install-ca-certs> ${KIT_DIR})
set_tests_properties(image.reproducible PROPERTIES FIXTURES_REQUIRED kit)
