// Test tool: puts one certificate into the current user's MY store, with a
// software RSA key behind it when a key blob is given.
//
//   tolvex_store_seed CERT.der                       certificate without key
//   tolvex_store_seed CERT.der KEY.msblob NAME SPEC  keyed (SPEC 1 or 2)
//
// The key goes into a new container NAME of the enhanced RSA/AES provider,
// and the certificate's key-provider property points at it. Works in Wine,
// which has no PFX import without extra libraries; each certificate needs a
// container of its own. Exit status 0 on success, 1 with a message otherwise.

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "tolvex_store_seed: %s failed (0x%08lX)\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

bool read_file(const char* path, std::vector<BYTE>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !out.empty();
}

std::wstring widen(const char* text) {
    std::wstring out;
    for (const char* p = text; *p != 0; ++p)
        out.push_back(static_cast<wchar_t>(*p));
    return out;
}

struct Store {
    HCERTSTORE handle = nullptr;
    ~Store() {
        if (handle != nullptr)
            CertCloseStore(handle, 0);
    }
};
struct Context {
    PCCERT_CONTEXT handle = nullptr;
    ~Context() {
        if (handle != nullptr)
            CertFreeCertificateContext(handle);
    }
};
struct Provider {
    HCRYPTPROV handle = 0;
    ~Provider() {
        if (handle != 0)
            CryptReleaseContext(handle, 0);
    }
};
struct Key {
    HCRYPTKEY handle = 0;
    ~Key() {
        if (handle != 0)
            CryptDestroyKey(handle);
    }
};

int import_key(const char* blob_path, const std::wstring& container, DWORD key_spec) {
    std::vector<BYTE> blob;
    if (!read_file(blob_path, blob) || blob.size() < sizeof(BLOBHEADER)) {
        std::fprintf(stderr, "tolvex_store_seed: cannot read %s\n", blob_path);
        return 1;
    }
    reinterpret_cast<BLOBHEADER*>(blob.data())->aiKeyAlg =
        key_spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
    Provider provider;
    if (!CryptAcquireContextW(&provider.handle, container.c_str(), MS_ENH_RSA_AES_PROV_W,
                              PROV_RSA_AES, CRYPT_NEWKEYSET)) {
        // A container left from an earlier run: start it afresh.
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                             CRYPT_DELETEKEYSET);
        if (!CryptAcquireContextW(&provider.handle, container.c_str(), MS_ENH_RSA_AES_PROV_W,
                                  PROV_RSA_AES, CRYPT_NEWKEYSET)) {
            return fail("CryptAcquireContextW");
        }
    }
    Key key;
    if (!CryptImportKey(provider.handle, blob.data(), static_cast<DWORD>(blob.size()), 0, 0,
                        &key.handle)) {
        return fail("CryptImportKey");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        std::fprintf(stderr, "usage: tolvex_store_seed CERT.der [KEY.msblob CONTAINER SPEC]\n");
        return 2;
    }
    std::vector<BYTE> der;
    if (!read_file(argv[1], der)) {
        std::fprintf(stderr, "tolvex_store_seed: cannot read %s\n", argv[1]);
        return 1;
    }
    Context cert;
    cert.handle = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                               static_cast<DWORD>(der.size()));
    if (cert.handle == nullptr)
        return fail("CertCreateCertificateContext");

    std::wstring container;
    if (argc == 5) {
        container = widen(argv[3]);
        const DWORD key_spec = argv[4][0] == '1' ? AT_KEYEXCHANGE : AT_SIGNATURE;
        if (int rc = import_key(argv[2], container, key_spec); rc != 0)
            return rc;
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = container.data();
        info.pwszProvName = const_cast<LPWSTR>(MS_ENH_RSA_AES_PROV_W);
        info.dwProvType = PROV_RSA_AES;
        info.dwKeySpec = key_spec;
        if (!CertSetCertificateContextProperty(cert.handle, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
            return fail("CertSetCertificateContextProperty");
        }
    }

    Store store;
    store.handle =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
    if (store.handle == nullptr)
        return fail("CertOpenStore");
    // Replacing in place keeps the old properties, so remove any earlier copy.
    if (PCCERT_CONTEXT old =
            CertFindCertificateInStore(store.handle, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                       CERT_FIND_EXISTING, cert.handle, nullptr)) {
        CertDeleteCertificateFromStore(old);  // frees `old`
    }
    if (!CertAddCertificateContextToStore(store.handle, cert.handle, CERT_STORE_ADD_NEW, nullptr)) {
        return fail("CertAddCertificateContextToStore");
    }
    if (!CertControlStore(store.handle, 0, CERT_STORE_CTRL_COMMIT, nullptr)) {
        return fail("CertControlStore");
    }
    return 0;
}
