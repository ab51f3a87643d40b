# tolvex_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
# Builds one GoogleTest executable and registers it with CTest. On the
# Windows cross build CTest runs it through the emulator (wine).
#
# Every suite shares tests/support/gtest_main.cpp: a suite that skipped all
# it ran exits with 77, reported by CTest as skipped, and each skipped case
# prints a "tolvex-skip:" line for the summary of `make test`.
if(NOT TARGET tolvex_gtest_main)
  add_library(tolvex_gtest_main STATIC ${PROJECT_SOURCE_DIR}/tests/support/gtest_main.cpp)
  target_link_libraries(tolvex_gtest_main PUBLIC tolvex::gtest)
  tolvex_target(tolvex_gtest_main)
endif()

function(tolvex_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME})
  target_sources(${T_NAME} PRIVATE ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE tolvex_gtest_main ${T_LIBS})
  tolvex_target(${T_NAME})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "unit;${T_LABELS}" TIMEOUT 600
                                            SKIP_RETURN_CODE 77)
endfunction()
