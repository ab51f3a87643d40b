#include <dlfcn.h>

#include <filesystem>

#include "token_module.hpp"

namespace tolvex::test_token {

std::string module_file_name() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&reload), &info) == 0 || info.dli_fname == nullptr)
        return {};
    return std::filesystem::path(info.dli_fname).filename().string();
}

}  // namespace tolvex::test_token
