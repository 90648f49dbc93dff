# The deployment kit in build/dist: the image, the MSI package around it, the
# certificates as files, the detection script and SHA256SUMS (scripts/kit.py).

set(KIT_SCRIPT ${CMAKE_SOURCE_DIR}/scripts/kit.py)
set(CERTIFICATES_SOURCE ${CMAKE_SOURCE_DIR}/src/installer/embedded_certificates.cpp)
set(KIT_WXS ${CMAKE_SOURCE_DIR}/src/msi/install-ca-certs.wxs)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  # The twin's package, for the tests on hosts without 32-bit code: never published.
  set(KIT_ARCH x64)
  set(KIT_DIR ${CMAKE_BINARY_DIR}/dist)
else()
  set(KIT_ARCH x86)
  set(KIT_DIR ${CMAKE_SOURCE_DIR}/build/dist)
endif()

# The package's check reads its thumbprints from the same table as the image.
set(EXPECTED_HEADER ${CMAKE_CURRENT_BINARY_DIR}/generated/expected_certificates.h)
add_custom_command(
  OUTPUT ${EXPECTED_HEADER}
  COMMAND ${SYSTEM_PYTHON} ${KIT_SCRIPT} header ${CERTIFICATES_SOURCE} ${EXPECTED_HEADER}
  DEPENDS ${KIT_SCRIPT} ${CERTIFICATES_SOURCE})

# The check, a custom-action DLL without a C runtime, built like the image.
add_library(check-ca-certs SHARED src/msi/check_certificates.cpp src/app/load_config.cpp
            ${EXPECTED_HEADER})
set_target_properties(check-ca-certs PROPERTIES PREFIX "")
target_include_directories(check-ca-certs PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated src/installer src/msi)
target_compile_definitions(check-ca-certs PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_compile_options(check-ca-certs PRIVATE ${PROJECT_WARNINGS} ${FREESTANDING_FLAGS})
target_link_libraries(check-ca-certs PRIVATE crypt32 msi user32 kernel32)
target_link_options(check-ca-certs PRIVATE
  -nostdlib -s -Wl,--entry=${DLL_ENTRY}
  # exported as MSI names it: CheckCertificates, not CheckCertificates@4
  -Wl,--kill-at
  -Wl,--dynamicbase -Wl,--nxcompat
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp
  -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/check-ca-certs.map)
add_custom_command(TARGET check-ca-certs POST_BUILD
  COMMAND ${SET_LOAD_CONFIG} $<TARGET_FILE:check-ca-certs> ${CMAKE_CURRENT_BINARY_DIR}/check-ca-certs.map)

set(KIT_ARGUMENTS
  --version ${PROJECT_VERSION}
  --release-version=${RELEASE_VERSION} --release-time=${RELEASE_TIME}
  --release-product-code=${RELEASE_PRODUCT_CODE} --release-msi-sha256=${RELEASE_MSI_SHA256}
  --release-program-sha256=${RELEASE_PROGRAM_SHA256} --release-check-sha256=${RELEASE_CHECK_SHA256}
  --release-table-sha256=${RELEASE_TABLE_SHA256}
  --release-sums=${CMAKE_SOURCE_DIR}/release/${RELEASE_VERSION}/SHA256SUMS
  --arch ${KIT_ARCH}
  --compiler ${CMAKE_CXX_COMPILER}
  --image $<TARGET_FILE:install-ca-certs>
  --checker $<TARGET_FILE:check-ca-certs>
  --wxs ${KIT_WXS}
  --source ${CERTIFICATES_SOURCE})
# Signing, if asked for, comes from SIGN_* in the environment.
add_custom_target(dist
  COMMAND ${SYSTEM_PYTHON} ${KIT_SCRIPT} build ${KIT_ARGUMENTS} --out ${KIT_DIR}
  DEPENDS install-ca-certs check-ca-certs
  USES_TERMINAL
  COMMENT "Building the deployment kit in ${KIT_DIR}")
# The same arguments for `make dist` and `make verify`, which run kit.py
# themselves, so that relative paths are the caller's and the last line is kit.py's.
string(REPLACE ";" "\n" KIT_ARGUMENT_LINES "${KIT_ARGUMENTS}")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/kit-arguments CONTENT "${KIT_ARGUMENT_LINES}\n")
