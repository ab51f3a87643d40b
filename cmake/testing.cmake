# tolvex_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
# Builds one GoogleTest executable and registers it with CTest. On the
# Windows cross build CTest runs it through the emulator (wine).
function(tolvex_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME})
  target_sources(${T_NAME} PRIVATE ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE tolvex::gtest ${T_LIBS})
  tolvex_target(${T_NAME})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "unit;${T_LABELS}" TIMEOUT 600)
endfunction()
