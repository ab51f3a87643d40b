// The test token module. Configuration (JSON, file named by
// TOLVEX_TEST_TOKEN_CONFIG):
//
// {
//   "modules": {"<module file name>": {...}},  optional: one configuration per
//                                               copy of the module file;
//                                               otherwise the root is used
//   "interface": 3,                  version of the list C_GetInterface gives
//   "worker_thread": true,           C_Initialize starts a thread that runs in
//                                    this library until C_Finalize joins it
//   "stray_thread": true,            C_Initialize also starts a detached thread
//                                    that C_Finalize never stops
//   "slot_count": 1099511627776,     the count C_GetSlotList reports
//   "call_log": "path",              one line appended per call
//   "missing": ["C_Login"],          functions left out of the function list
//   "hang": ["C_GetSlotList"],       functions that never return (C_GetSlotList,
//                                    C_Login), as a driver waiting on a device
//   "stdout": "DEBUG ...",           C_Initialize prints it to standard output,
//                                    through stdio and write(1), as vendor
//                                    debug builds do
//   "returns": {"C_Sign": ["ok", "CKR_DEVICE_ERROR"]},
//                                    the n-th call of the function returns the
//                                    n-th value ("ok": behave normally)
//   "slots": [{"id": 1, "token": {   no "token": the slot is empty
//     "fail": {"C_GetTokenInfo": "CKR_DEVICE_ERROR"},  every such call on
//                                    this slot fails (C_GetTokenInfo, C_OpenSession)
//     "label": "...", "label_hex": "...", "manufacturer": "...", "model": "...",
//     "serial": "...", "flags": ["CKF_TOKEN_INITIALIZED", ...] or a number,
//     "flags_after_wrong_pin": [...],   the flags once a login got a wrong PIN
//     "pin": "1234", "min_pin_len": 4, "max_pin_len": 8,
//     "endless_search": true,        C_FindObjects never runs out of handles
//     "objects": [
//       {"class": "certificate", "value_file": "c.der" | "value_hex": "..",
//        "value_unavailable": true, "id": "0a" (absent: no CKA_ID), "count": 25,
//        "value_length": 1099511627776},  the CKA_VALUE length it reports
//       {"class": "private_key", "id": "0a", "key_file": "k.pem",
//        "key_type": "CKK_DSA" | number, "always_authenticate": true,
//        "signature_length": 0,         the length C_Sign reports without a buffer
//        "public_parts": false,         no CKA_MODULUS, CKA_PUBLIC_EXPONENT,
//                                       CKA_EC_PARAMS or CKA_EC_POINT
//        "ec_point": "der" | "raw"},    CKA_EC_POINT as an OCTET STRING or bare
//                                       (private keys: none unless given)
//       {"class": "public_key", "id": "0a", "key_file": "k.pem", "ec_point": ...}]}}]
// }

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "token_module.hpp"

namespace tolvex::test_token {
namespace {

using Bytes = std::vector<unsigned char>;
using Json = nlohmann::json;

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::shared_ptr<EVP_PKEY>;

struct Object {
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    std::optional<Bytes> value;            // certificates; nullopt with value_unavailable
    std::optional<CK_ULONG> value_length;  // reported instead of the value's own
    std::optional<Bytes> id;
    std::optional<CK_KEY_TYPE> key_type;  // keys
    bool always_authenticate = false;
    std::optional<CK_ULONG> signature_length;
    Pkey key;
    // What the key object shows of its public key, by attribute type.
    std::map<CK_ATTRIBUTE_TYPE, Bytes> public_parts;
};

struct Token {
    Bytes label, manufacturer, model, serial;
    CK_FLAGS flags = 0;
    std::optional<CK_FLAGS> flags_after_wrong_pin;
    std::optional<std::string> pin;
    CK_ULONG min_pin_len = 0, max_pin_len = 0;
    bool endless_search = false;
    std::vector<Object> objects;
    bool logged_in = false;
};

struct Slot {
    CK_SLOT_ID id = 0;
    std::optional<Token> token;
    std::map<std::string, CK_RV> fail;  // function -> its answer for this slot
};

struct Session {
    std::size_t slot = 0;  // index into g.slots
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t cursor = 0;
    bool finding = false;
    bool signing = false;
    CK_MECHANISM_TYPE mechanism = 0;
    CK_OBJECT_HANDLE key = 0;
    bool context_login = false;  // an always-authenticate key may sign once
};

struct State {
    int interface_version = 3;
    bool worker_thread = false;
    bool stray_thread = false;
    std::optional<CK_ULONG> slot_count;
    std::string call_log;
    std::set<std::string> missing;
    std::set<std::string> hang;
    std::string stdout_text;
    std::map<std::string, std::vector<std::optional<CK_RV>>> returns;
    std::map<std::string, std::size_t> calls;
    std::vector<Slot> slots;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE next_session = 1;
};

State g;
std::recursive_mutex g_lock;

// Whether C_Initialize has run without a C_Finalize since, and the worker it
// started. Kept apart from g, which every load resets: this lives as long as
// the library stays in memory, and is never destroyed, so that a library
// unloaded under a running worker fails the way a vendor's does (the worker
// runs into unmapped code) rather than in std::thread's destructor.
struct Lifecycle {
    bool initialized = false;
    std::thread worker;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
};
// Placed in static storage: no destructor at unload, and nothing on the heap
// that a leak checker would count once per load.
alignas(Lifecycle) unsigned char life_storage[sizeof(Lifecycle)];
Lifecycle& life = *new (life_storage) Lifecycle;

// Wakes every few milliseconds, as a vendor's slot-event thread polls its
// readers, so it runs in this library's code again soon after any unload.
void worker_main() {
    std::unique_lock lock(life.lock);
    while (!life.stop)
        life.wake.wait_for(lock, std::chrono::milliseconds(2));
}

// A driver's thread that nobody stops: it polls for the life of the process,
// touching nothing but this library's code and static storage.
[[noreturn]] void stray_main() {
    static std::atomic<unsigned long> polls{0};
    for (;;) {
        polls.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

const std::map<std::string, unsigned long>& constants() {
    static const std::map<std::string, unsigned long> table = {
        {"CKR_OK", CKR_OK},
        {"CKR_GENERAL_ERROR", CKR_GENERAL_ERROR},
        {"CKR_FUNCTION_FAILED", CKR_FUNCTION_FAILED},
        {"CKR_DEVICE_ERROR", CKR_DEVICE_ERROR},
        {"CKR_DEVICE_REMOVED", CKR_DEVICE_REMOVED},
        {"CKR_TOKEN_NOT_PRESENT", CKR_TOKEN_NOT_PRESENT},
        {"CKR_PIN_INCORRECT", CKR_PIN_INCORRECT},
        {"CKR_PIN_INVALID", CKR_PIN_INVALID},
        {"CKR_PIN_LEN_RANGE", CKR_PIN_LEN_RANGE},
        {"CKR_PIN_EXPIRED", CKR_PIN_EXPIRED},
        {"CKR_PIN_LOCKED", CKR_PIN_LOCKED},
        {"CKR_USER_ALREADY_LOGGED_IN", CKR_USER_ALREADY_LOGGED_IN},
        {"CKR_USER_NOT_LOGGED_IN", CKR_USER_NOT_LOGGED_IN},
        {"CKR_CRYPTOKI_ALREADY_INITIALIZED", CKR_CRYPTOKI_ALREADY_INITIALIZED},
        {"CKR_SESSION_HANDLE_INVALID", CKR_SESSION_HANDLE_INVALID},
        {"CKR_KEY_FUNCTION_NOT_PERMITTED", CKR_KEY_FUNCTION_NOT_PERMITTED},
        {"CKR_ARGUMENTS_BAD", CKR_ARGUMENTS_BAD},
        {"CKR_CRYPTOKI_NOT_INITIALIZED", CKR_CRYPTOKI_NOT_INITIALIZED},
        {"CKR_CANT_LOCK", CKR_CANT_LOCK},
        {"CKR_TOKEN_NOT_RECOGNIZED", CKR_TOKEN_NOT_RECOGNIZED},
        {"CKF_TOKEN_INITIALIZED", CKF_TOKEN_INITIALIZED},
        {"CKF_LOGIN_REQUIRED", CKF_LOGIN_REQUIRED},
        {"CKF_PROTECTED_AUTHENTICATION_PATH", CKF_PROTECTED_AUTHENTICATION_PATH},
        {"CKF_USER_PIN_COUNT_LOW", CKF_USER_PIN_COUNT_LOW},
        {"CKF_USER_PIN_FINAL_TRY", CKF_USER_PIN_FINAL_TRY},
        {"CKF_USER_PIN_LOCKED", CKF_USER_PIN_LOCKED},
        {"CKF_USER_PIN_INITIALIZED", CKF_USER_PIN_INITIALIZED},
        {"CKK_RSA", CKK_RSA},
        {"CKK_DSA", CKK_DSA},
        {"CKK_EC", CKK_EC},
        {"CKK_EC_EDWARDS", CKK_EC_EDWARDS},
        {"CKK_AES", CKK_AES},
    };
    return table;
}

unsigned long constant(const Json& j) {
    if (j.is_number())
        return j.get<unsigned long>();
    return constants().at(j.get<std::string>());
}

unsigned long flags_of(const Json& j) {
    if (j.is_number())
        return j.get<unsigned long>();
    unsigned long f = 0;
    for (const auto& name : j)
        f |= constant(name);
    return f;
}

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const unsigned char* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Pkey read_key(const std::string& path) {
    BIO* bio = BIO_new_file(path.c_str(), "r");
    if (bio == nullptr)
        throw std::runtime_error("cannot read key " + path);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (key == nullptr)
        throw std::runtime_error("bad key " + path);
    return Pkey(key, PkeyFree{});
}

Bytes text_field(const Json& token, const std::string& name) {
    if (token.contains(name + "_hex"))
        return from_hex(token[name + "_hex"].get<std::string>());
    std::string s = token.value(name, std::string());
    return Bytes(s.begin(), s.end());
}

Bytes bn_param(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1)
        throw std::runtime_error(std::string("no key parameter ") + name);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

// CKA_MODULUS and CKA_PUBLIC_EXPONENT, or CKA_EC_PARAMS (the curve's OID) and,
// unless ec_point is "none", CKA_EC_POINT in the encoding asked for.
std::map<CK_ATTRIBUTE_TYPE, Bytes> public_parts_of(EVP_PKEY* key, const std::string& ec_point) {
    std::map<CK_ATTRIBUTE_TYPE, Bytes> parts;
    if (EVP_PKEY_base_id(key) == EVP_PKEY_RSA) {
        parts[CKA_MODULUS] = bn_param(key, OSSL_PKEY_PARAM_RSA_N);
        parts[CKA_PUBLIC_EXPONENT] = bn_param(key, OSSL_PKEY_PARAM_RSA_E);
        return parts;
    }
    char curve[80] = {};
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve,
                                       nullptr) != 1)
        throw std::runtime_error("no curve name");
    ASN1_OBJECT* oid = OBJ_nid2obj(OBJ_txt2nid(curve));
    Bytes params(static_cast<std::size_t>(i2d_ASN1_OBJECT(oid, nullptr)));
    unsigned char* p = params.data();
    i2d_ASN1_OBJECT(oid, &p);
    parts[CKA_EC_PARAMS] = params;
    if (ec_point == "none")
        return parts;
    Bytes point(256);
    std::size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                        &len) != 1)
        throw std::runtime_error("no public point");
    point.resize(len);
    if (ec_point == "der") {
        point.insert(point.begin(), static_cast<unsigned char>(len));
        point.insert(point.begin(), 0x04);
    }
    parts[CKA_EC_POINT] = point;
    return parts;
}

Object parse_object(const Json& j) {
    Object o;
    const std::string cls = j.value("class", std::string("certificate"));
    o.cls = cls == "private_key"  ? CKO_PRIVATE_KEY
            : cls == "public_key" ? CKO_PUBLIC_KEY
                                  : CKO_CERTIFICATE;
    if (j.contains("id"))
        o.id = from_hex(j["id"].get<std::string>());
    if (o.cls == CKO_CERTIFICATE) {
        if (j.contains("value_file"))
            o.value = read_file(j["value_file"].get<std::string>());
        if (j.contains("value_hex"))
            o.value = from_hex(j["value_hex"].get<std::string>());
        if (j.contains("value_length"))
            o.value_length = j["value_length"].get<CK_ULONG>();
        if (j.value("value_unavailable", false))
            o.value.reset();
    } else {
        if (j.contains("key_file")) {
            o.key = read_key(j["key_file"].get<std::string>());
            o.key_type = EVP_PKEY_base_id(o.key.get()) == EVP_PKEY_EC ? CKK_EC : CKK_RSA;
            const std::string fallback = o.cls == CKO_PUBLIC_KEY ? "der" : "none";
            if (j.value("public_parts", true))
                o.public_parts = public_parts_of(o.key.get(), j.value("ec_point", fallback));
        }
        if (j.contains("key_type"))
            o.key_type = constant(j["key_type"]);
        if (j.value("no_key_type", false))
            o.key_type.reset();
        o.always_authenticate = j.value("always_authenticate", false);
        if (j.contains("signature_length"))
            o.signature_length = j["signature_length"].get<CK_ULONG>();
    }
    return o;
}

Token parse_token(const Json& j) {
    Token t;
    t.label = text_field(j, "label");
    t.manufacturer = text_field(j, "manufacturer");
    t.model = text_field(j, "model");
    t.serial = text_field(j, "serial");
    t.flags = j.contains("flags") ? flags_of(j["flags"]) : CKF_TOKEN_INITIALIZED;
    if (j.contains("flags_after_wrong_pin"))
        t.flags_after_wrong_pin = flags_of(j["flags_after_wrong_pin"]);
    if (j.contains("pin"))
        t.pin = j["pin"].get<std::string>();
    t.min_pin_len = j.value("min_pin_len", CK_ULONG{0});
    t.max_pin_len = j.value("max_pin_len", CK_ULONG{0});
    t.endless_search = j.value("endless_search", false);
    for (const auto& o : j.value("objects", Json::array())) {
        const int count = o.value("count", 1);
        for (int i = 0; i < count; ++i)
            t.objects.push_back(parse_object(o));
    }
    return t;
}

void load_config() {
    g = State{};
    const char* path = std::getenv(kConfigVariable);
    if (path == nullptr)
        return;
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error(std::string("cannot read ") + path);
    Json root = Json::parse(in);
    if (root.contains("modules")) {
        const std::string self = module_file_name();
        if (!root["modules"].contains(self))
            return;  // an unconfigured copy: no slots
        root = root["modules"][self];
    }
    g.interface_version = root.value("interface", 3);
    g.worker_thread = root.value("worker_thread", false);
    g.stray_thread = root.value("stray_thread", false);
    if (root.contains("slot_count"))
        g.slot_count = root["slot_count"].get<CK_ULONG>();
    g.call_log = root.value("call_log", std::string());
    for (const auto& name : root.value("missing", Json::array()))
        g.missing.insert(name.get<std::string>());
    for (const auto& name : root.value("hang", Json::array()))
        g.hang.insert(name.get<std::string>());
    g.stdout_text = root.value("stdout", std::string());
    const Json returns = root.value("returns", Json::object());
    for (const auto& [name, list] : returns.items()) {
        for (const auto& v : list) {
            if (v.is_string() && v.get<std::string>() == "ok")
                g.returns[name].push_back(std::nullopt);
            else
                g.returns[name].push_back(constant(v));
        }
    }
    for (const auto& s : root.value("slots", Json::array())) {
        Slot slot;
        slot.id = s.value("id", static_cast<unsigned long>(g.slots.size()));
        if (s.contains("token") && !s["token"].is_null())
            slot.token = parse_token(s["token"]);
        if (s.contains("fail")) {
            for (const auto& [function, rv] : s["fail"].items())
                slot.fail[function] = constant(rv);
        }
        g.slots.push_back(std::move(slot));
    }
}

void log_call(const std::string& line) {
    if (g.call_log.empty())
        return;
    if (FILE* f = std::fopen(g.call_log.c_str(), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

std::string hex(unsigned long v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lx", v);
    return buf;
}

// The scripted answer for this call of the function, if any.
std::optional<CK_RV> scripted(const std::string& function) {
    const std::size_t n = g.calls[function]++;
    auto it = g.returns.find(function);
    if (it == g.returns.end() || n >= it->second.size())
        return std::nullopt;
    return it->second[n];
}

// Logs "<function> <args> -> <rv> <extra>" and returns rv.
CK_RV done(const std::string& function, const std::string& args, CK_RV rv,
           const std::string& extra = {}) {
    std::string line = function;
    if (!args.empty())
        line += " " + args;
    line += " -> " + hex(rv);
    if (!extra.empty())
        line += " " + extra;
    log_call(line);
    return rv;
}

Slot* slot_by_id(CK_SLOT_ID id) {
    for (Slot& s : g.slots)
        if (s.id == id)
            return &s;
    return nullptr;
}

Session* session_of(CK_SESSION_HANDLE h) {
    auto it = g.sessions.find(h);
    return it == g.sessions.end() ? nullptr : &it->second;
}

Token& token_of(const Session& s) {
    return *g.slots[s.slot].token;
}

// Object handles: slot index * 1000 + object index + 1.
Object* object_of(const Session& s, CK_OBJECT_HANDLE h) {
    if (h / 1000 != s.slot)
        return nullptr;
    const std::size_t i = h % 1000;
    Token& t = token_of(s);
    return i >= 1 && i <= t.objects.size() ? &t.objects[i - 1] : nullptr;
}

void pad(unsigned char* field, std::size_t width, const Bytes& text) {
    std::memset(field, ' ', width);
    if (!text.empty())
        std::memcpy(field, text.data(), std::min(width, text.size()));
}

CK_RV Initialize(void* args) {
    std::lock_guard lock(g_lock);
    auto* a = static_cast<CK_C_INITIALIZE_ARGS*>(args);
    std::string desc = a == nullptr ? "args=null" : "flags=" + hex(a->flags);
    if (!g.stdout_text.empty()) {
        std::printf("%s\n", g.stdout_text.c_str());
        std::fflush(stdout);
#ifdef _WIN32
        [[maybe_unused]] auto n = _write(1, g.stdout_text.data(), g.stdout_text.size());
#else
        [[maybe_unused]] auto n = ::write(1, g.stdout_text.data(), g.stdout_text.size());
#endif
    }
    if (auto rv = scripted("C_Initialize"))
        return done("C_Initialize", desc, *rv);
    if (life.initialized)
        return done("C_Initialize", desc, CKR_CRYPTOKI_ALREADY_INITIALIZED);
    life.initialized = true;
    if (g.worker_thread) {
        life.stop = false;
        life.worker = std::thread(worker_main);
        desc += " worker=started";
    }
    if (g.stray_thread) {
        std::thread(stray_main).detach();
        desc += " stray=started";
    }
    return done("C_Initialize", desc, CKR_OK);
}

CK_RV Finalize(void* reserved) {
    std::lock_guard lock(g_lock);
    const std::string args = reserved == nullptr ? "reserved=null" : "reserved=given";
    if (auto rv = scripted("C_Finalize"))
        return done("C_Finalize", args, *rv);
    if (reserved != nullptr)
        return done("C_Finalize", args, CKR_ARGUMENTS_BAD);
    if (!life.initialized)
        return done("C_Finalize", args, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (life.worker.joinable()) {
        {
            std::lock_guard stop(life.lock);
            life.stop = true;
        }
        life.wake.notify_all();
        life.worker.join();
    }
    life.initialized = false;
    return done("C_Finalize", args, CKR_OK);
}

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID* list, CK_ULONG* count) {
    std::lock_guard lock(g_lock);
    const std::string args = std::string("present=") + (present ? "1" : "0") +
                             " buffer=" + (list != nullptr ? "yes" : "no");
    if (auto rv = scripted("C_GetSlotList"))
        return done("C_GetSlotList", args, *rv);
    if (g.slot_count) {
        const CK_RV rv = list != nullptr && *count < *g.slot_count ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *count = *g.slot_count;
        return done("C_GetSlotList", args, rv, "count=" + std::to_string(*g.slot_count));
    }
    std::vector<CK_SLOT_ID> ids;
    for (const Slot& s : g.slots)
        if (!present || s.token)
            ids.push_back(s.id);
    CK_RV rv = CKR_OK;
    if (list != nullptr) {
        if (*count < ids.size())
            rv = CKR_BUFFER_TOO_SMALL;
        else
            std::copy(ids.begin(), ids.end(), list);
    }
    *count = ids.size();
    return done("C_GetSlotList", args, rv, "count=" + std::to_string(ids.size()));
}

CK_RV GetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO* info) {
    std::lock_guard lock(g_lock);
    const std::string args = "slot=" + std::to_string(id);
    if (auto rv = scripted("C_GetTokenInfo"))
        return done("C_GetTokenInfo", args, *rv);
    Slot* slot = slot_by_id(id);
    if (slot == nullptr)
        return done("C_GetTokenInfo", args, CKR_SLOT_ID_INVALID);
    if (slot->fail.contains("C_GetTokenInfo"))
        return done("C_GetTokenInfo", args, slot->fail["C_GetTokenInfo"]);
    if (!slot->token)
        return done("C_GetTokenInfo", args, CKR_TOKEN_NOT_PRESENT);
    const Token& t = *slot->token;
    std::memset(info, 0, sizeof *info);
    pad(info->label, sizeof info->label, t.label);
    pad(info->manufacturerID, sizeof info->manufacturerID, t.manufacturer);
    pad(info->model, sizeof info->model, t.model);
    pad(info->serialNumber, sizeof info->serialNumber, t.serial);
    info->flags = t.flags;
    info->ulMinPinLen = t.min_pin_len;
    info->ulMaxPinLen = t.max_pin_len;
    return done("C_GetTokenInfo", args, CKR_OK, "flags=" + hex(t.flags));
}

CK_RV OpenSession(CK_SLOT_ID id, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE* handle) {
    std::lock_guard lock(g_lock);
    const std::string args = "slot=" + std::to_string(id) + " flags=" + hex(flags);
    if (auto rv = scripted("C_OpenSession"))
        return done("C_OpenSession", args, *rv);
    Slot* slot = slot_by_id(id);
    if (slot == nullptr || !slot->token)
        return done("C_OpenSession", args, CKR_SLOT_ID_INVALID);
    if (slot->fail.contains("C_OpenSession"))
        return done("C_OpenSession", args, slot->fail["C_OpenSession"]);
    if ((flags & CKF_SERIAL_SESSION) == 0)
        return done("C_OpenSession", args, CKR_ARGUMENTS_BAD);
    Session s;
    s.slot = static_cast<std::size_t>(slot - g.slots.data());
    *handle = g.next_session++;
    g.sessions[*handle] = s;
    return done("C_OpenSession", args, CKR_OK, "session=" + std::to_string(*handle));
}

CK_RV CloseSession(CK_SESSION_HANDLE h) {
    std::lock_guard lock(g_lock);
    const std::string args = "session=" + std::to_string(h);
    auto rv = scripted("C_CloseSession");
    if (!g.sessions.erase(h))
        return done("C_CloseSession", args, CKR_SESSION_HANDLE_INVALID);
    return done("C_CloseSession", args, rv.value_or(CKR_OK));
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE* templ, CK_ULONG n) {
    std::lock_guard lock(g_lock);
    std::optional<CK_OBJECT_CLASS> cls;
    std::optional<Bytes> id;
    std::string args;
    for (CK_ULONG i = 0; i < n; ++i) {
        const auto* p = static_cast<const unsigned char*>(templ[i].pValue);
        if (templ[i].type == CKA_CLASS) {
            CK_OBJECT_CLASS c;
            std::memcpy(&c, p, sizeof c);
            cls = c;
            if (!args.empty())
                args += ' ';
            args += "class=";
            args += std::to_string(c);
        } else if (templ[i].type == CKA_ID) {
            id = Bytes(p, p + templ[i].ulValueLen);
            if (!args.empty())
                args += ' ';
            args += "id=";
            args += to_hex(p, templ[i].ulValueLen);
        }
    }
    if (auto rv = scripted("C_FindObjectsInit"))
        return done("C_FindObjectsInit", args, *rv);
    Session* s = session_of(h);
    if (s == nullptr)
        return done("C_FindObjectsInit", args, CKR_SESSION_HANDLE_INVALID);
    s->found.clear();
    s->cursor = 0;
    s->finding = true;
    const Token& t = token_of(*s);
    for (std::size_t i = 0; i < t.objects.size(); ++i) {
        const Object& o = t.objects[i];
        if (cls && o.cls != *cls)
            continue;
        if (id && o.id != id)
            continue;
        s->found.push_back(s->slot * 1000 + i + 1);
    }
    return done("C_FindObjectsInit", args, CKR_OK);
}

CK_RV FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE* out, CK_ULONG max, CK_ULONG* count) {
    std::lock_guard lock(g_lock);
    const std::string args = "max=" + std::to_string(max);
    if (auto rv = scripted("C_FindObjects"))
        return done("C_FindObjects", args, *rv);
    Session* s = session_of(h);
    if (s == nullptr)
        return done("C_FindObjects", args, CKR_SESSION_HANDLE_INVALID);
    if (!s->finding)
        return done("C_FindObjects", args, CKR_OPERATION_NOT_INITIALIZED);
    CK_ULONG n = 0;
    if (token_of(*s).endless_search) {
        // The same handles over and over, as a module whose cursor never
        // reaches the end.
        for (; n < max; ++n)
            out[n] = s->found.empty() ? s->slot * 1000 + 1 : s->found[n % s->found.size()];
    }
    while (n < max && s->cursor < s->found.size())
        out[n++] = s->found[s->cursor++];
    *count = n;
    return done("C_FindObjects", args, CKR_OK, "returned=" + std::to_string(n));
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE h) {
    std::lock_guard lock(g_lock);
    if (auto rv = scripted("C_FindObjectsFinal"))
        return done("C_FindObjectsFinal", "", *rv);
    Session* s = session_of(h);
    if (s == nullptr)
        return done("C_FindObjectsFinal", "", CKR_SESSION_HANDLE_INVALID);
    s->finding = false;
    return done("C_FindObjectsFinal", "", CKR_OK);
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE* templ,
                        CK_ULONG n) {
    std::lock_guard lock(g_lock);
    std::string args = "object=" + std::to_string(obj) + " types=";
    for (CK_ULONG i = 0; i < n; ++i) {
        if (i > 0)
            args += ',';
        args += hex(templ[i].type);
    }
    args += std::string(" values=") + (n > 0 && templ[0].pValue != nullptr ? "yes" : "no");
    if (auto rv = scripted("C_GetAttributeValue"))
        return done("C_GetAttributeValue", args, *rv);
    Session* s = session_of(h);
    if (s == nullptr)
        return done("C_GetAttributeValue", args, CKR_SESSION_HANDLE_INVALID);
    Object* o = object_of(*s, obj);
    if (o == nullptr)
        return done("C_GetAttributeValue", args, CKR_OBJECT_HANDLE_INVALID);
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < n; ++i) {
        std::optional<Bytes> value;
        CK_RV missing = CKR_ATTRIBUTE_TYPE_INVALID;
        switch (templ[i].type) {
            case CKA_CLASS: {
                const auto* p = reinterpret_cast<const unsigned char*>(&o->cls);
                value = Bytes(p, p + sizeof o->cls);
                break;
            }
            case CKA_VALUE:
                if (o->cls == CKO_CERTIFICATE) {
                    value = o->value;
                    missing = CKR_ATTRIBUTE_SENSITIVE;
                    if (value && o->value_length && templ[i].pValue == nullptr) {
                        templ[i].ulValueLen = *o->value_length;
                        continue;
                    }
                }
                break;
            case CKA_ID:
                value = o->id;
                break;
            case CKA_KEY_TYPE:
                if (o->key_type) {
                    const auto* p = reinterpret_cast<const unsigned char*>(&*o->key_type);
                    value = Bytes(p, p + sizeof(CK_KEY_TYPE));
                }
                break;
            case CKA_ALWAYS_AUTHENTICATE:
                if (o->cls == CKO_PRIVATE_KEY)
                    value = Bytes{
                        static_cast<unsigned char>(o->always_authenticate ? CK_TRUE : CK_FALSE)};
                break;
            default:
                if (auto part = o->public_parts.find(templ[i].type); part != o->public_parts.end())
                    value = part->second;
                break;
        }
        if (!value) {
            templ[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (rv == CKR_OK)
                rv = missing;
        } else if (templ[i].pValue == nullptr) {
            templ[i].ulValueLen = value->size();
        } else if (templ[i].ulValueLen < value->size()) {
            templ[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (rv == CKR_OK)
                rv = CKR_BUFFER_TOO_SMALL;
        } else {
            std::memcpy(templ[i].pValue, value->data(), value->size());
            templ[i].ulValueLen = value->size();
        }
    }
    return done("C_GetAttributeValue", args, rv);
}

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG len) {
    std::lock_guard lock(g_lock);
    const std::string given =
        pin == nullptr ? "null" : std::string(reinterpret_cast<char*>(pin), len);
    const std::string args =
        "user=" + std::to_string(user) + " pin=" + given + " len=" + std::to_string(len);
    Session* s = session_of(h);
    if (s == nullptr)
        return done("C_Login", args, CKR_SESSION_HANDLE_INVALID);
    Token& t = token_of(*s);
    std::optional<CK_RV> rv = scripted("C_Login");
    if (!rv) {
        const bool keypad = pin == nullptr && (t.flags & CKF_PROTECTED_AUTHENTICATION_PATH);
        if (user == CKU_USER && t.logged_in)
            rv = CKR_USER_ALREADY_LOGGED_IN;
        else if (t.flags & CKF_USER_PIN_LOCKED)
            rv = CKR_PIN_LOCKED;
        else if (keypad || (pin != nullptr && t.pin && given == *t.pin))
            rv = CKR_OK;
        else
            rv = CKR_PIN_INCORRECT;
    }
    // A token that says it is already logged in behaves as logged in.
    if (*rv == CKR_OK || *rv == CKR_USER_ALREADY_LOGGED_IN) {
        if (user == CKU_USER)
            t.logged_in = true;
        s->context_login = true;
    }
    if (*rv == CKR_PIN_INCORRECT && t.flags_after_wrong_pin)
        t.flags = *t.flags_after_wrong_pin;
    return done("C_Login", args, *rv);
}

CK_RV Logout(CK_SESSION_HANDLE h) {
    std::lock_guard lock(g_lock);
    if (auto rv = scripted("C_Logout"))
        return done("C_Logout", "", *rv);
    Session* s = session_of(h);
    if (s == nullptr)
        return done("C_Logout", "", CKR_SESSION_HANDLE_INVALID);
    Token& t = token_of(*s);
    const CK_RV rv = t.logged_in ? CKR_OK : CKR_USER_NOT_LOGGED_IN;
    t.logged_in = false;
    return done("C_Logout", "", rv);
}

CK_RV SignInit(CK_SESSION_HANDLE h, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    std::lock_guard lock(g_lock);
    const std::string args = "mechanism=" + hex(mechanism->mechanism) +
                             " parameter=" + std::to_string(mechanism->ulParameterLen) +
                             " key=" + std::to_string(key);
    if (auto rv = scripted("C_SignInit"))
        return done("C_SignInit", args, *rv);
    Session* s = session_of(h);
    if (s == nullptr)
        return done("C_SignInit", args, CKR_SESSION_HANDLE_INVALID);
    Object* o = object_of(*s, key);
    if (o == nullptr || o->cls != CKO_PRIVATE_KEY)
        return done("C_SignInit", args, CKR_KEY_HANDLE_INVALID);
    if ((token_of(*s).flags & CKF_LOGIN_REQUIRED) && !token_of(*s).logged_in)
        return done("C_SignInit", args, CKR_USER_NOT_LOGGED_IN);
    const bool fits = o->key && ((mechanism->mechanism == CKM_RSA_PKCS && o->key_type == CKK_RSA) ||
                                 (mechanism->mechanism == CKM_ECDSA && o->key_type == CKK_EC));
    if (!fits)
        return done("C_SignInit", args, CKR_KEY_TYPE_INCONSISTENT);
    s->signing = true;
    s->mechanism = mechanism->mechanism;
    s->key = key;
    return done("C_SignInit", args, CKR_OK);
}

// RSA: PKCS#1 v1.5 padding over the data as given (a DigestInfo). EC: the
// fixed-length r || s over the data as the hash.
std::optional<Bytes> raw_sign(EVP_PKEY* key, CK_MECHANISM_TYPE mechanism, const Bytes& data) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                    EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0)
        return std::nullopt;
    if (mechanism == CKM_RSA_PKCS &&
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
        return std::nullopt;
    std::size_t len = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &len, data.data(), data.size()) <= 0)
        return std::nullopt;
    Bytes sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, data.data(), data.size()) <= 0)
        return std::nullopt;
    sig.resize(len);
    if (mechanism == CKM_RSA_PKCS)
        return sig;
    const unsigned char* p = sig.data();
    ECDSA_SIG* es = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size()));
    if (es == nullptr)
        return std::nullopt;
    const int half = (EVP_PKEY_get_bits(key) + 7) / 8;
    Bytes rs(2 * half);
    BN_bn2binpad(ECDSA_SIG_get0_r(es), rs.data(), half);
    BN_bn2binpad(ECDSA_SIG_get0_s(es), rs.data() + half, half);
    ECDSA_SIG_free(es);
    return rs;
}

CK_RV Sign(CK_SESSION_HANDLE h, CK_BYTE* data, CK_ULONG len, CK_BYTE* sig, CK_ULONG* sig_len) {
    std::lock_guard lock(g_lock);
    const std::string args =
        "data=" + std::to_string(len) + " buffer=" + (sig != nullptr ? "yes" : "no");
    Session* s = session_of(h);
    if (s == nullptr)
        return done("C_Sign", args, CKR_SESSION_HANDLE_INVALID);
    if (auto rv = scripted("C_Sign")) {
        s->signing = false;
        return done("C_Sign", args, *rv);
    }
    if (!s->signing)
        return done("C_Sign", args, CKR_OPERATION_NOT_INITIALIZED);
    Object* o = object_of(*s, s->key);
    if (o->always_authenticate && !s->context_login) {
        s->signing = false;
        return done("C_Sign", args, CKR_USER_NOT_LOGGED_IN);
    }
    const CK_ULONG needed = o->signature_length ? *o->signature_length
                            : s->mechanism == CKM_RSA_PKCS
                                ? EVP_PKEY_get_size(o->key.get())
                                : 2 * ((EVP_PKEY_get_bits(o->key.get()) + 7) / 8);
    if (sig == nullptr) {
        *sig_len = needed;
        return done("C_Sign", args, CKR_OK, "length=" + std::to_string(needed));
    }
    if (*sig_len < needed) {
        *sig_len = needed;
        return done("C_Sign", args, CKR_BUFFER_TOO_SMALL);
    }
    s->signing = false;
    s->context_login = false;
    auto out = raw_sign(o->key.get(), s->mechanism, Bytes(data, data + len));
    if (!out)
        return done("C_Sign", args, CKR_FUNCTION_FAILED);
    if (*sig_len < out->size())  // only when the reported length was wrong
        return done("C_Sign", args, CKR_BUFFER_TOO_SMALL);
    std::copy(out->begin(), out->end(), sig);
    *sig_len = out->size();
    return done("C_Sign", args, CKR_OK, "length=" + std::to_string(out->size()));
}

// A call that never returns. Not under g_lock: the agent's other thread
// must stay free to notice that the browser has gone.
[[noreturn]] void hang_forever(const char* function) {
    log_call(std::string(function) + " hangs");
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}
CK_RV HangingGetSlotList(CK_BBOOL, CK_SLOT_ID*, CK_ULONG*) {
    hang_forever("C_GetSlotList");
}
CK_RV HangingLogin(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR*, CK_ULONG) {
    hang_forever("C_Login");
}

CK_FUNCTION_LIST_3_0 g_list{};

void build_list() {
    CK_FUNCTION_LIST& l = g_list.v2;
    l = CK_FUNCTION_LIST{};
    l.version = {static_cast<unsigned char>(g.interface_version), 0};
    const std::pair<const char*, void (*)(CK_FUNCTION_LIST&, bool)> functions[] = {
        {"C_Initialize",
         [](CK_FUNCTION_LIST& f, bool on) { f.C_Initialize = on ? Initialize : nullptr; }},
        {"C_Finalize",
         [](CK_FUNCTION_LIST& f, bool on) { f.C_Finalize = on ? Finalize : nullptr; }},
        {"C_GetSlotList",
         [](CK_FUNCTION_LIST& f, bool on) { f.C_GetSlotList = on ? GetSlotList : nullptr; }},
        {"C_GetTokenInfo",
         [](CK_FUNCTION_LIST& f, bool on) { f.C_GetTokenInfo = on ? GetTokenInfo : nullptr; }},
        {"C_OpenSession",
         [](CK_FUNCTION_LIST& f, bool on) { f.C_OpenSession = on ? OpenSession : nullptr; }},
        {"C_CloseSession",
         [](CK_FUNCTION_LIST& f, bool on) { f.C_CloseSession = on ? CloseSession : nullptr; }},
        {"C_FindObjectsInit",
         [](CK_FUNCTION_LIST& f, bool on) {
             f.C_FindObjectsInit = on ? FindObjectsInit : nullptr;
         }},
        {"C_FindObjects",
         [](CK_FUNCTION_LIST& f, bool on) { f.C_FindObjects = on ? FindObjects : nullptr; }},
        {"C_FindObjectsFinal",
         [](CK_FUNCTION_LIST& f, bool on) {
             f.C_FindObjectsFinal = on ? FindObjectsFinal : nullptr;
         }},
        {"C_GetAttributeValue",
         [](CK_FUNCTION_LIST& f, bool on) {
             f.C_GetAttributeValue = on ? GetAttributeValue : nullptr;
         }},
        {"C_Login", [](CK_FUNCTION_LIST& f, bool on) { f.C_Login = on ? Login : nullptr; }},
        {"C_Logout", [](CK_FUNCTION_LIST& f, bool on) { f.C_Logout = on ? Logout : nullptr; }},
        {"C_SignInit",
         [](CK_FUNCTION_LIST& f, bool on) { f.C_SignInit = on ? SignInit : nullptr; }},
        {"C_Sign", [](CK_FUNCTION_LIST& f, bool on) { f.C_Sign = on ? Sign : nullptr; }},
    };
    for (const auto& [name, set] : functions)
        set(l, g.missing.count(name) == 0);
    if (g.hang.count("C_GetSlotList"))
        l.C_GetSlotList = HangingGetSlotList;
    if (g.hang.count("C_Login"))
        l.C_Login = HangingLogin;
    l.C_GetFunctionList = get_function_list;
}

CK_INTERFACE g_interface{};
CK_UTF8CHAR g_interface_name[] = "PKCS 11";

}  // namespace

void reload() {
    // No exit handler: the module's copy of OpenSSL would leave one behind
    // pointing into the unloaded library (the agent unloads modules after
    // every operation), and it would run at process exit.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    std::lock_guard lock(g_lock);
    try {
        load_config();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "test token module: %s\n", e.what());
        g = State{};
    }
    build_list();
}

CK_RV get_function_list(CK_FUNCTION_LIST** list) {
    std::lock_guard lock(g_lock);
    if (auto rv = scripted("C_GetFunctionList"))
        return done("C_GetFunctionList", "", *rv);
    *list = &g_list.v2;
    return done("C_GetFunctionList", "", CKR_OK);
}

CK_RV get_interface(CK_UTF8CHAR* name, CK_VERSION* version, CK_INTERFACE** iface, CK_FLAGS flags) {
    std::lock_guard lock(g_lock);
    const std::string args = std::string("name=") +
                             (name ? reinterpret_cast<char*>(name) : "null") +
                             " version=" + (version ? "given" : "null") + " flags=" + hex(flags);
    if (auto rv = scripted("C_GetInterface"))
        return done("C_GetInterface", args, *rv);
    g_interface = {g_interface_name, &g_list, 0};
    *iface = &g_interface;
    return done("C_GetInterface", args, CKR_OK);
}

}  // namespace tolvex::test_token
