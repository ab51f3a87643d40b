# The store source through the agent binary: the emulated Windows store,
# alone and beside a SoftHSM token.
tolvex_add_test(NAME integration_store SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_agent_test.cpp
                LIBS tolvex_test_driver tolvex_store_test_support tolvex::json LABELS integration)
target_compile_definitions(integration_store PRIVATE
  TOLVEX_PRODUCT_AGENT_PATH="$<TARGET_FILE:tolvex_agent>")
add_dependencies(integration_store tolvex_agent)

# The Windows agent with the real store under Wine; it seeds the prefix's MY
# store, so it runs only through tests/os_store/wine_store_test.sh (which gives
# it a private prefix) and skips everywhere else.
tolvex_add_test(NAME integration_store_wine
                SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_wine_test.cpp
                LIBS tolvex_test_driver tolvex_store_test_support tolvex::json LABELS integration)
