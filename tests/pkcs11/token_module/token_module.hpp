#pragma once

// A PKCS#11 module for tests: slots, tokens, objects and keys described by a
// JSON file, scripted return values, and a log with one line per call. The
// exported entry points live in their own files so that variants of the
// module can export C_GetInterface, C_GetFunctionList, both or neither.

#include <string>

#include "tolvex/pkcs11/cryptoki.hpp"

namespace tolvex::test_token {

// The environment variable naming the JSON configuration.
inline constexpr const char* kConfigVariable = "TOLVEX_TEST_TOKEN_CONFIG";

// Re-reads the configuration and forgets all state (sessions, logins, call
// counts); called by the entry points, so every load starts afresh.
void reload();

CK_RV get_function_list(CK_FUNCTION_LIST** list);
CK_RV get_interface(CK_UTF8CHAR* name, CK_VERSION* version, CK_INTERFACE** iface, CK_FLAGS flags);

// The file name of this module (platform part: self_path_*.cpp).
std::string module_file_name();

}  // namespace tolvex::test_token
