#define CRYPTOKI_EXPORTS
#include "token_module.hpp"

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    tolvex::test_token::reload();
    return tolvex::test_token::get_function_list(list);
}
