// The test build of the agent: the agent as shipped for Windows, but over
// the emulated store (TOLVEX_EMULATED_STORE) in place of the platform's, so
// the store source runs end to end on Linux. Never installed.

#include "emulated_store.hpp"
#include "host.hpp"

int main(int argc, char** argv) {
    return tolvex::agent::agent_main(argc, argv, tolvex::os_store::emulated_os_store());
}
