#define CRYPTOKI_EXPORTS
#include "token_module.hpp"

extern "C" CK_SPEC CK_RV C_GetInterface(CK_UTF8CHAR* name, CK_VERSION* version,
                                        CK_INTERFACE** iface, CK_FLAGS flags) {
    tolvex::test_token::reload();
    return tolvex::test_token::get_interface(name, version, iface, flags);
}
