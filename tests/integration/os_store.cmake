# The store source through the agent binary: the emulated Windows store,
# alone and beside a SoftHSM token.
tolvex_add_test(NAME integration_store SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_agent_test.cpp
                LIBS tolvex_test_driver tolvex_store_test_certs tolvex::json LABELS integration)
