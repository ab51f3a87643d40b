# Third-party dependencies behind one set of target names, so the rest of the
# build is the same on both platforms:
#   tolvex::openssl  libcrypto
#   tolvex::json     nlohmann::json
#   tolvex::spdlog   spdlog with fmt
#   tolvex::gtest    GoogleTest and GoogleMock (the main is tests/support/gtest_main.cpp)
if(WIN32)
  # Cross build: everything comes from the private prefix made by
  # scripts/build-mingw-deps.sh; header-only libraries are copied there so the
  # host's /usr/include never appears on the mingw include path.
  if(NOT TOLVEX_MINGW_PREFIX)
    message(FATAL_ERROR "TOLVEX_MINGW_PREFIX must name the prefix built by scripts/build-mingw-deps.sh")
  endif()
  set(_p ${TOLVEX_MINGW_PREFIX})
  add_library(tolvex_openssl INTERFACE)
  target_include_directories(tolvex_openssl SYSTEM INTERFACE ${_p}/include)
  target_link_libraries(tolvex_openssl INTERFACE ${_p}/lib/libcrypto.a ws2_32 crypt32 user32 advapi32)
  add_library(tolvex_json INTERFACE)
  target_include_directories(tolvex_json SYSTEM INTERFACE ${_p}/include)
  add_library(tolvex_spdlog INTERFACE)
  target_include_directories(tolvex_spdlog SYSTEM INTERFACE ${_p}/include)
  target_compile_definitions(tolvex_spdlog INTERFACE FMT_HEADER_ONLY SPDLOG_FMT_EXTERNAL)
  add_library(tolvex_gtest INTERFACE)
  target_include_directories(tolvex_gtest SYSTEM INTERFACE ${_p}/include)
  target_link_libraries(tolvex_gtest INTERFACE ${_p}/lib/libgmock.a
                                               ${_p}/lib/libgtest.a)
  # No DLLs beside the exe: the runtime is linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
else()
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
  find_package(nlohmann_json 3 REQUIRED)
  find_package(fmt REQUIRED)
  find_package(spdlog REQUIRED)
  add_library(tolvex_openssl INTERFACE)
  target_link_libraries(tolvex_openssl INTERFACE OpenSSL::Crypto)
  add_library(tolvex_json INTERFACE)
  target_link_libraries(tolvex_json INTERFACE nlohmann_json::nlohmann_json)
  add_library(tolvex_spdlog INTERFACE)
  target_link_libraries(tolvex_spdlog INTERFACE spdlog::spdlog fmt::fmt)
  if(TOLVEX_BUILD_TESTS)
    find_package(GTest REQUIRED)
    add_library(tolvex_gtest INTERFACE)
    target_link_libraries(tolvex_gtest INTERFACE GTest::gmock GTest::gtest)
  endif()
endif()
add_library(tolvex::openssl ALIAS tolvex_openssl)
add_library(tolvex::json ALIAS tolvex_json)
add_library(tolvex::spdlog ALIAS tolvex_spdlog)
if(TARGET tolvex_gtest)
  add_library(tolvex::gtest ALIAS tolvex_gtest)
endif()
