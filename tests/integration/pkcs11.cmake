# The PKCS#11 source through the agent binary: with the test token module
# (also as the Windows .dll when the agent under test is the Windows build)
# and with a SoftHSM token.
set(_p11_tests ${CMAKE_SOURCE_DIR}/tests/pkcs11)
add_library(tolvex_pkcs11_agent_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pkcs11_agent_support.cpp
  ${_p11_tests}/support.cpp ${_p11_tests}/env_posix.cpp)
target_include_directories(tolvex_pkcs11_agent_support PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${_p11_tests})
target_link_libraries(tolvex_pkcs11_agent_support PUBLIC tolvex_test_driver tolvex::core tolvex::json
                                                         tolvex::openssl)
target_compile_definitions(tolvex_pkcs11_agent_support PRIVATE
  TOLVEX_TEST_TOKEN_MODULE="$<TARGET_FILE:tolvex_test_token>"
  TOLVEX_TEST_TOKEN_MODULE_V2="$<TARGET_FILE:tolvex_test_token_v2>"
  TOLVEX_TEST_TOKEN_MODULE_BARE="$<TARGET_FILE:tolvex_test_token_bare>")
add_dependencies(tolvex_pkcs11_agent_support tolvex_test_token tolvex_test_token_v2)
tolvex_target(tolvex_pkcs11_agent_support)

tolvex_add_test(NAME integration_pkcs11
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pkcs11_agent_test.cpp
  LIBS tolvex_test_driver tolvex_pkcs11_agent_support LABELS integration)
tolvex_add_test(NAME integration_softhsm
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/softhsm_agent_test.cpp
  LIBS tolvex_test_driver tolvex_pkcs11_agent_support LABELS integration)
# Real modules kept open over many requests: a TPM-backed token and OpenSC.
tolvex_add_test(NAME integration_real_modules
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/real_modules_agent_test.cpp
  LIBS tolvex_test_driver tolvex_pkcs11_agent_support LABELS integration)
target_compile_definitions(integration_real_modules PRIVATE
  TOLVEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}" $<$<BOOL:${TOLVEX_SANITIZE}>:TOLVEX_SANITIZED>)

# opencryptoki's software token. The test runs inside the private namespaces
# of scripts/opencryptoki-fixture.sh, which starts pkcsslotd, initialises the
# token and stops the daemon again; the fixture needs root. Without root or
# the package it skips (status 77), in CI it fails.
add_executable(integration_opencryptoki ${CMAKE_CURRENT_LIST_DIR}/opencryptoki_agent_test.cpp)
target_link_libraries(integration_opencryptoki PRIVATE tolvex::gtest tolvex_test_driver
                                                       tolvex_pkcs11_agent_support)
target_compile_definitions(integration_opencryptoki PRIVATE
  $<$<BOOL:${TOLVEX_SANITIZE}>:TOLVEX_SANITIZED>)
tolvex_target(integration_opencryptoki)
add_test(NAME integration_opencryptoki
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/opencryptoki-fixture.sh
          ${CMAKE_CURRENT_BINARY_DIR}/opencryptoki $<TARGET_FILE:integration_opencryptoki>)
set_tests_properties(integration_opencryptoki PROPERTIES
  LABELS "opencryptoki" TIMEOUT 300 SKIP_RETURN_CODE 77)
