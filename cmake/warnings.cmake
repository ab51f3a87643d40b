# Warnings and sanitizers as private usage requirements: our targets get them,
# nothing that links us inherits them.
add_library(tolvex_warnings INTERFACE)
target_compile_options(tolvex_warnings INTERFACE -Wall -Wextra -Werror)

add_library(tolvex_sanitizers INTERFACE)
if(TOLVEX_SANITIZE)
  target_compile_options(tolvex_sanitizers INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(tolvex_sanitizers INTERFACE -fsanitize=address,undefined)
  # Instrument everything we build, tests and helper modules included.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The libFuzzer build (clang): coverage instrumentation and both sanitizers on
# everything we build; the fuzz executables add -fsanitize=fuzzer for
# libFuzzer's main. clang warns that libstdc++'s own stable_sort calls its
# deprecated get_temporary_buffer; that one warning is not ours to fix, and
# clang_libstdcxx.hpp silences it alone.
if(TOLVEX_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer
                      "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/clang_libstdcxx.hpp>")
  add_link_options(-fsanitize=address,undefined)
endif()

# Common settings for every target of ours.
function(tolvex_target name)
  target_link_libraries(${name} PRIVATE tolvex_warnings)
endfunction()
