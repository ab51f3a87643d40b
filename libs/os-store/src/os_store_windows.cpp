#include "tolvex/os_store/os_store.hpp"
#include "tolvex/os_store/store_source.hpp"

namespace tolvex::os_store {

OsStore platform_os_store() {
    return {"windows", std::make_unique<WindowsStoreSource>(platform_store_api())};
}

}  // namespace tolvex::os_store
