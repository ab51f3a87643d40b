#include "tolvex/pkcs11/module.hpp"

#include <algorithm>

#include "tolvex/core/log.hpp"
#include "tolvex/core/text.hpp"
#include "tolvex/pkcs11/names.hpp"

namespace tolvex::pkcs11 {

std::mutex& pkcs11_lock() {
    static std::mutex lock;
    return lock;
}

std::string CallError::text() const {
    if (!excess.empty()) {
        return "Function::" + std::string(function) + ": " + std::string(excess) + " " +
               std::to_string(reported) + " exceeds the limit of " + std::to_string(limit);
    }
    if (!rv)
        return "Calling a NULL function pointer";
    return "Function::" + std::string(function) + ": PKCS11 error: " + rv_name(*rv);
}

std::expected<Module, std::string> Module::load(const std::filesystem::path& path) {
    auto lib = DynLib::open(path);
    if (!lib)
        return std::unexpected(lib.error());

    CK_FUNCTION_LIST* functions = nullptr;
    // A 3.0 module hands out its list through C_GetInterface; its 3.0 list
    // starts with the 2.40 members, which are all the agent calls.
    if (auto get_interface = reinterpret_cast<CK_C_GetInterface>(lib->symbol("C_GetInterface"))) {
        CK_INTERFACE* iface = nullptr;
        if (auto ok = invoke("GetInterface", get_interface, nullptr, nullptr, &iface, CK_FLAGS{0});
            !ok)
            return std::unexpected(ok.error().text());
        if (iface != nullptr && iface->pFunctionList != nullptr) {
            auto* list = static_cast<CK_FUNCTION_LIST*>(iface->pFunctionList);
            if (list->version.major >= 3)
                functions = list;
        }
    }
    if (functions == nullptr) {
        auto get_list = reinterpret_cast<CK_C_GetFunctionList>(lib->symbol("C_GetFunctionList"));
        if (get_list == nullptr)
            return std::unexpected(std::string("Missing PKCS#11 symbol: C_GetFunctionList"));
        if (auto ok = invoke("GetFunctionList", get_list, &functions); !ok)
            return std::unexpected(ok.error().text());
        if (functions == nullptr)
            return std::unexpected(CallError{"GetFunctionList", std::nullopt}.text());
    }

    // Value-initialised: the four mutex callbacks are null, so the module
    // uses the operating system's locking.
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    args.pReserved = nullptr;
    auto initialized = invoke("Initialize", functions->C_Initialize, static_cast<void*>(&args));
    if (!initialized && initialized.error().rv == CKR_CANT_LOCK) {
        // Modules that cannot lock (NSS's PEM module, scute) refuse the flag.
        // Every call the agent makes holds the process-wide PKCS#11 lock, so
        // the module's own locking is not needed: NULL arguments tell it that
        // no thread calls it concurrently.
        initialized = invoke("Initialize", functions->C_Initialize, static_cast<void*>(nullptr));
        tolvex::log::target("tolvex_pkcs11")
            ->info("módulo PKCS#11 inicializado sem CKF_OS_LOCKING_OK module={} args=null rv={}",
                   tolvex::log::quoted(display_text(path)),
                   initialized ? std::string("Ok") : rv_name(*initialized.error().rv));
    }
    if (!initialized && initialized.error().rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
        return std::unexpected(initialized.error().text());
    return Module(std::move(*lib), functions, initialized.has_value());
}

Module::~Module() {
    if (!finalize_)
        return;
    // Before the library goes: a module may have threads running in its
    // code, or sockets and connections that only C_Finalize gives back.
    if (auto ok = invoke("Finalize", functions_->C_Finalize, static_cast<void*>(nullptr)); !ok) {
        tolvex::log::target("tolvex_pkcs11")
            ->warn("falha ao finalizar o módulo PKCS#11 error={}",
                   tolvex::log::quoted(ok.error().text()));
    }
}

ModuleSet::~ModuleSet() {
    while (!entries_.empty())
        entries_.pop_back();
}

const std::expected<Module, std::string>& ModuleSet::load(const std::filesystem::path& path) {
    for (const auto& entry : entries_) {
        if (entry->path == path)
            return entry->module;
    }
    if (!lock_.owns_lock())
        lock_ = std::unique_lock(pkcs11_lock());
    entries_.push_back(std::make_unique<Entry>(Entry{path, Module::load(path)}));
    return entries_.back()->module;
}

CallResult<Session> Session::open(const Module& module, CK_SLOT_ID slot) {
    const CK_FUNCTION_LIST& f = module.functions();
    CK_SESSION_HANDLE handle = 0;
    if (auto ok = invoke("OpenSession", f.C_OpenSession, slot, CK_FLAGS{CKF_SERIAL_SESSION},
                         static_cast<void*>(nullptr), CK_NOTIFY{nullptr}, &handle);
        !ok)
        return std::unexpected(ok.error());
    return Session(&f, handle);
}

Session::~Session() {
    if (!open_)
        return;
    if (auto ok = invoke("CloseSession", functions_->C_CloseSession, handle_); !ok) {
        tolvex::log::target("tolvex_pkcs11")
            ->error("falha ao fechar a sessão PKCS#11 error={}",
                    tolvex::log::quoted(ok.error().text()));
    }
}

CallResult<CK_TOKEN_INFO> token_info(const Module& module, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    if (auto ok = invoke("GetTokenInfo", module.functions().C_GetTokenInfo, slot, &info); !ok)
        return std::unexpected(ok.error());
    return info;
}

CallResult<std::vector<CK_SLOT_ID>> usable_slots(const Module& module) {
    const CK_FUNCTION_LIST& f = module.functions();
    auto slots = sized_query<CK_SLOT_ID>(
        "GetSlotList", "slot count", kMaxSlots, [&](CK_SLOT_ID* buffer, CK_ULONG* count) {
            return invoke("GetSlotList", f.C_GetSlotList, CK_BBOOL{CK_TRUE}, buffer, count);
        });
    if (!slots)
        return std::unexpected(slots.error());
    std::vector<CK_SLOT_ID> usable;
    for (CK_SLOT_ID slot : *slots) {
        // A slot whose token cannot be read stays in: the caller reads it
        // again and reports it, and the module's other tokens are still
        // listed.
        auto info = token_info(module, slot);
        if (!info || (info->flags & CKF_TOKEN_INITIALIZED) != 0)
            usable.push_back(slot);
    }
    return usable;
}

CallResult<std::vector<CK_OBJECT_HANDLE>> find_objects(const Session& session,
                                                       std::span<CK_ATTRIBUTE> templ) {
    const CK_FUNCTION_LIST& f = session.functions();
    if (auto ok = invoke("FindObjectsInit", f.C_FindObjectsInit, session.handle(), templ.data(),
                         static_cast<CK_ULONG>(templ.size()));
        !ok)
        return std::unexpected(ok.error());

    constexpr CK_ULONG kBatch = 10;
    std::vector<CK_OBJECT_HANDLE> found;
    CallResult<void> searched;
    for (;;) {
        CK_OBJECT_HANDLE batch[kBatch];
        CK_ULONG count = 0;
        searched = invoke("FindObjects", f.C_FindObjects, session.handle(), batch, kBatch, &count);
        if (!searched || count == 0)
            break;
        const std::size_t got = std::min(count, kBatch);
        if (found.size() + got > kMaxSearchHandles) {
            searched = std::unexpected(CallError::exceeded("FindObjects", "handle count",
                                                           found.size() + got, kMaxSearchHandles));
            break;
        }
        found.insert(found.end(), batch, batch + got);
    }
    // The search is ended even after a failure, so the session is not left
    // with an active operation.
    auto finished = invoke("FindObjectsFinal", f.C_FindObjectsFinal, session.handle());
    if (!searched)
        return std::unexpected(searched.error());
    if (!finished)
        return std::unexpected(finished.error());
    return found;
}

namespace {

// Return values with which a token says that some of the attributes asked
// for are not available; the others are still answered.
bool unavailable_only(const CallError& e) {
    return e.rv == CKR_ATTRIBUTE_SENSITIVE || e.rv == CKR_ATTRIBUTE_TYPE_INVALID;
}

}  // namespace

CallResult<std::vector<std::optional<core::Bytes>>> read_attributes(
    const Session& session, CK_OBJECT_HANDLE object,
    std::initializer_list<CK_ATTRIBUTE_TYPE> types) {
    const CK_FUNCTION_LIST& f = session.functions();
    std::vector<CK_ATTRIBUTE> templ;
    for (CK_ATTRIBUTE_TYPE type : types)
        templ.push_back(CK_ATTRIBUTE{type, nullptr, 0});
    auto read = [&] {
        return invoke("GetAttributeValue", f.C_GetAttributeValue, session.handle(), object,
                      templ.data(), static_cast<CK_ULONG>(templ.size()));
    };

    if (auto lengths = read(); !lengths && !unavailable_only(lengths.error()))
        return std::unexpected(lengths.error());
    std::vector<std::optional<core::Bytes>> values(templ.size());
    bool any_value = false;
    for (std::size_t i = 0; i < templ.size(); ++i) {
        if (templ[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) {
            templ[i].ulValueLen = 0;  // ask nothing more about it
            continue;
        }
        if (templ[i].ulValueLen > kMaxAttributeBytes) {
            return std::unexpected(CallError::exceeded("GetAttributeValue", "value length",
                                                       templ[i].ulValueLen, kMaxAttributeBytes));
        }
        values[i].emplace(templ[i].ulValueLen);
        templ[i].pValue = values[i]->empty() ? nullptr : values[i]->data();
        any_value = any_value || !values[i]->empty();
    }
    if (!any_value)
        return values;

    if (auto filled = read(); !filled && !unavailable_only(filled.error()))
        return std::unexpected(filled.error());
    for (std::size_t i = 0; i < templ.size(); ++i) {
        if (!values[i])
            continue;
        if (templ[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) {
            values[i].reset();
        } else if (templ[i].ulValueLen < values[i]->size()) {
            // A module that first reports more than it fills must not keep
            // the difference allocated for the rest of the listing.
            values[i]->resize(templ[i].ulValueLen);
            values[i]->shrink_to_fit();
        }
    }
    return values;
}

CallResult<std::vector<CertificateObject>> certificate_objects(const Session& session) {
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof cls}};
    auto handles = find_objects(session, templ);
    if (!handles)
        return std::unexpected(handles.error());
    std::vector<CertificateObject> out;
    std::size_t total = 0;
    for (CK_OBJECT_HANDLE handle : *handles) {
        auto attrs = read_attributes(session, handle, {CKA_VALUE, CKA_ID});
        if (!attrs)
            return std::unexpected(attrs.error());
        if (!(*attrs)[0])
            continue;
        total += (*attrs)[0]->size();
        if (total > kMaxTokenValueBytes) {
            return std::unexpected(CallError::exceeded("GetAttributeValue", "total value length",
                                                       total, kMaxTokenValueBytes));
        }
        out.push_back({std::move(*(*attrs)[0]), std::move((*attrs)[1])});
    }
    return out;
}

std::string token_text(std::span<const CK_UTF8CHAR> field) {
    std::string text = core::to_utf8_lossy(
        std::string_view(reinterpret_cast<const char*>(field.data()), field.size()));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return std::string(core::trim_white_space(text));
}

TokenTexts token_texts(const CK_TOKEN_INFO& info) {
    return {token_text(info.label), token_text(info.manufacturerID), token_text(info.model),
            token_text(info.serialNumber)};
}

}  // namespace tolvex::pkcs11
