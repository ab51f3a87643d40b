#include "tolvex/core/types.hpp"

#include <openssl/crypto.h>

namespace tolvex::core {

void secure_wipe(void* data, std::size_t size) {
    if (data != nullptr && size != 0)
        OPENSSL_cleanse(data, size);
}

}  // namespace tolvex::core
