#pragma once

// The Cryptoki definitions, from one place. p11-kit's header carries the 2.40
// interface (and packs its structures to one byte on Windows, as Cryptoki
// requires there); what the 3.0 interface adds and we need is declared here.
// The build copies that single header into its own include folder, so the
// Windows build never sees the host's /usr/include.

#include <p11-kit/pkcs11.h>

extern "C" {

#if defined(_WIN32)
#pragma pack(push, tolvex_cryptoki, 1)
#endif

struct CK_INTERFACE {
    CK_UTF8CHAR* pInterfaceName;
    CK_VOID_PTR pFunctionList;
    CK_FLAGS flags;
};
using CK_INTERFACE_PTR = CK_INTERFACE*;
using CK_INTERFACE_PTR_PTR = CK_INTERFACE**;

using CK_C_GetInterface = CK_RV (*)(CK_UTF8CHAR* pInterfaceName, CK_VERSION* pVersion,
                                    CK_INTERFACE_PTR_PTR ppInterface, CK_FLAGS flags);
using CK_C_GetInterfaceList = CK_RV (*)(CK_INTERFACE_PTR pInterfacesList, CK_ULONG* pulCount);

// The 3.0 function list begins with exactly the members of the 2.40 list, in
// the same order, so a 3.0 list is used through its 2.40 prefix. The members
// after the prefix are declared only so that a list can be built in full;
// the agent never calls them.
struct CK_FUNCTION_LIST_3_0 {
    CK_FUNCTION_LIST v2;
    CK_C_GetInterfaceList C_GetInterfaceList;
    CK_C_GetInterface C_GetInterface;
    CK_VOID_PTR C_LoginUser;
    CK_VOID_PTR C_SessionCancel;
    CK_VOID_PTR C_MessageEncryptInit;
    CK_VOID_PTR C_EncryptMessage;
    CK_VOID_PTR C_EncryptMessageBegin;
    CK_VOID_PTR C_EncryptMessageNext;
    CK_VOID_PTR C_MessageEncryptFinal;
    CK_VOID_PTR C_MessageDecryptInit;
    CK_VOID_PTR C_DecryptMessage;
    CK_VOID_PTR C_DecryptMessageBegin;
    CK_VOID_PTR C_DecryptMessageNext;
    CK_VOID_PTR C_MessageDecryptFinal;
    CK_VOID_PTR C_MessageSignInit;
    CK_VOID_PTR C_SignMessage;
    CK_VOID_PTR C_SignMessageBegin;
    CK_VOID_PTR C_SignMessageNext;
    CK_VOID_PTR C_MessageSignFinal;
    CK_VOID_PTR C_MessageVerifyInit;
    CK_VOID_PTR C_VerifyMessage;
    CK_VOID_PTR C_VerifyMessageBegin;
    CK_VOID_PTR C_VerifyMessageNext;
    CK_VOID_PTR C_MessageVerifyFinal;
};

#if defined(_WIN32)
#pragma pack(pop, tolvex_cryptoki)
#endif

}  // extern "C"
