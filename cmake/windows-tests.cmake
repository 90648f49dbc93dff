# The tests of the image and the kit, registered in the shipped image's tree.
# The Wine tests run once per Windows platform that this host runs (see
# tests/e2e/wineplatform.py): the shipped 32-bit image on 32-bit Wine, and its
# 64-bit twin on 64-bit Wine.

# The twin, built in its own tree with the 64-bit toolchain, so that ctest here
# needs nothing else.
set(TWIN_DIR ${CMAKE_SOURCE_DIR}/build/windows64)
add_test(NAME twin
         COMMAND sh -c "cmake --preset windows64 && cmake --build --preset windows64 --target all dist"
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
set_tests_properties(twin PROPERTIES FIXTURES_SETUP twin)

# The deployment kit in build/dist, as `make dist` leaves it.
add_test(NAME kit COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target dist)
set_tests_properties(kit PROPERTIES FIXTURES_SETUP kit)

set(CHECK_IMAGE ${SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tests/image/check_image.py)
set(IMAGE_FACTS ${CMAKE_SOURCE_DIR}/res/install-ca-certs.manifest
                ${CMAKE_SOURCE_DIR}/src/installer/embedded_certificates.cpp ${CMAKE_SOURCE_DIR})
add_test(NAME image.properties
         COMMAND ${CHECK_IMAGE} $<TARGET_FILE:install-ca-certs>
                 ${CMAKE_CURRENT_BINARY_DIR}/install-ca-certs.map ${IMAGE_FACTS}
                 $<TARGET_FILE:check-ca-certs>)
add_test(NAME image.properties.twin
         COMMAND ${CHECK_IMAGE} --twin ${TWIN_DIR}/install-ca-certs.exe
                 ${TWIN_DIR}/install-ca-certs.map ${IMAGE_FACTS} ${TWIN_DIR}/check-ca-certs.dll)
set_tests_properties(image.properties.twin PROPERTIES FIXTURES_REQUIRED twin)

add_test(NAME image.reproducible
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/image/check_reproducible.sh ${CMAKE_SOURCE_DIR}
                 ${CMAKE_CURRENT_BINARY_DIR}/reproducible $<TARGET_FILE:install-ca-certs> ${KIT_DIR})
set_tests_properties(image.reproducible PROPERTIES FIXTURES_REQUIRED kit)

# The files of the shipped kit, against the certificate table; its release, signing
# and make verify.
# In three, which run side by side: the files and their release; signing, and make
# verify as the Makefile calls it; the forged kits judged.
foreach(part files signing verify)
  if(part STREQUAL "files")
    set(cases test_kit.KitFiles.test_certificates_detection_script_and_sums
              test_kit.KitFiles.test_package_tables_and_summary
              test_kit.KitFiles.test_a_released_version_builds_its_kit_or_nothing)
  elseif(part STREQUAL "signing")
    set(cases test_kit.KitFiles.test_signed_builds_are_one_package_and_verify)
  else()
    set(cases test_kit.KitFiles.test_kits_judged)
  endif()
  add_test(NAME kit.${part} COMMAND ${SYSTEM_PYTHON} -m unittest -v ${cases}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/e2e)
  set_tests_properties(kit.${part} PROPERTIES FIXTURES_REQUIRED kit COST 200
                       ENVIRONMENT "E2E_PLATFORM=host.win32;KIT_DIR=${KIT_DIR}")
endforeach()

# The PowerShell that cannot run here, as the kit writes it and as the guides show it,
# parsed with the language's grammar, which first shows that it finds three faults.
file(GLOB GUIDES ${CMAKE_SOURCE_DIR}/docs/*.md)
add_test(NAME kit.powershell
         COMMAND node ${CMAKE_SOURCE_DIR}/tests/powershell/parse.mjs --mutants ${KIT_DIR}/detect-msi.ps1
                 ${KIT_DIR}/detect-msi.ps1 ${KIT_DIR}/detect-certificates.ps1 ${GUIDES})
set_tests_properties(kit.powershell PROPERTIES FIXTURES_REQUIRED kit)

# What the twin's package proves carries over to the shipped one.
add_test(NAME kit.twin
         COMMAND ${SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tests/image/check_twin_package.py
                 ${KIT_DIR}/install-ca-certs.msi $<TARGET_FILE:install-ca-certs>
                 $<TARGET_FILE:check-ca-certs> ${TWIN_DIR}/dist/install-ca-certs.msi
                 ${TWIN_DIR}/install-ca-certs.exe ${TWIN_DIR}/check-ca-certs.dll)
set_tests_properties(kit.twin PROPERTIES FIXTURES_REQUIRED "kit;twin")

# Which platforms run here, said in the output; fails when a platform to test
# cannot run, or none can.
set(WINE_PLATFORM ${SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/wineplatform.py)
# The other release's Wine, which make test starts preparing first of all: this
# waits for that, or prepares it.
add_test(NAME wine.tree COMMAND ${WINE_PLATFORM} prepare)
set_tests_properties(wine.tree PROPERTIES FIXTURES_SETUP wine.tree COST 2000 TIMEOUT 1800)
add_test(NAME wine.platforms COMMAND ${WINE_PLATFORM} check)
# It checks the platforms registered below, chosen when this tree was configured.
set_tests_properties(wine.platforms PROPERTIES FIXTURES_REQUIRED wine.tree ENVIRONMENT
  "INSTALL_CA_CERTS_ARCH=$ENV{INSTALL_CA_CERTS_ARCH};INSTALL_CA_CERTS_WINE=$ENV{INSTALL_CA_CERTS_WINE}")
execute_process(COMMAND ${WINE_PLATFORM} list OUTPUT_VARIABLE WINE_PLATFORMS
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
# What runs here, said at every configure; whether that is enough is for the
# test above to judge, after make test has prepared the tree.
execute_process(COMMAND ${WINE_PLATFORM} report OUTPUT_VARIABLE WINE_REPORT ERROR_VARIABLE WINE_REPORT)
message(STATUS "${WINE_REPORT}")

set(E2E_DIR ${CMAKE_SOURCE_DIR}/tests/e2e)
foreach(entry IN LISTS WINE_PLATFORMS)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 platform)
  list(GET entry 1 preset)
  # The platform names its build and kit; this only says which fixture makes them.
  if(preset STREQUAL "windows")
    set(built kit)
  else()
    set(built twin)
  endif()
  set(env E2E_PLATFORM=${platform})

  add_test(NAME wine_prefix.${platform}
           COMMAND ${SYSTEM_PYTHON} -c "import winetest; winetest.prepare_template()"
           WORKING_DIRECTORY ${E2E_DIR})
  # First, since every case of the platform waits for it, and beside the builds,
  # which it does not need; one release's templates one after the other, so that
  # the second links to what the first holds.
  string(REGEX REPLACE "\\..*$" "" release ${platform})
  set_tests_properties(wine_prefix.${platform} PROPERTIES
    FIXTURES_SETUP wine.${platform} ENVIRONMENT "${env}" COST 1000 RESOURCE_LOCK wine_template.${release})
  if(NOT release STREQUAL "host")
    set_tests_properties(wine_prefix.${platform} PROPERTIES FIXTURES_REQUIRED wine.tree)
  endif()

  # Every platform runs the cases that touch the stores, the check DLL and the
  # registry views, where every difference between platforms seen so far lives;
  # the host's Wine release, on each architecture, runs the rest too.
  set(suites test_wine.Silent test_wine.Interactive test_wine.MissingStore test_wine.CryptContract
             test_kit.KitInstall test_kit.KitFailure test_kit.KitRemoval)
  if(release STREQUAL "host")
    list(APPEND suites test_wine.CommandTail test_kit.KitRebuild test_kit.KitUpgrade)
  endif()
  foreach(suite IN LISTS suites)
    string(REGEX REPLACE "^.*\\." "" name ${suite})
    add_test(NAME e2e.${platform}.${name}
             COMMAND ${SYSTEM_PYTHON} -m unittest -v ${suite}
             WORKING_DIRECTORY ${E2E_DIR})
    # Wine cases mostly wait (for processes, servers, boxes), so CTest runs several
    # per core (the preset's jobs); the longest start first.
    set_tests_properties(e2e.${platform}.${name} PROPERTIES
      FIXTURES_REQUIRED "wine.${platform};${built}" ENVIRONMENT "${env}" TIMEOUT 600)
    if(name MATCHES "^(Kit(Install|Rebuild|Upgrade|Removal)|CommandTail)$")
      set_tests_properties(e2e.${platform}.${name} PROPERTIES COST 100)
    endif()
  endforeach()
endforeach()
