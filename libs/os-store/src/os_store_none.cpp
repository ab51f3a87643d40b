#include "tolvex/os_store/os_store.hpp"

namespace tolvex::os_store {

// Outside Windows the agent reads no store of the operating system: keys
// reach it only through PKCS#11 modules (a card through OpenSC, or whatever
// a configured module exposes), which the PKCS#11 source lists. No source
// stands in for a store, and `ping` says there is none.
OsStore platform_os_store() {
    return {"none", nullptr};
}

}  // namespace tolvex::os_store
