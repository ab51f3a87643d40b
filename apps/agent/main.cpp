#include "host.hpp"

int main(int argc, char** argv) {
    return tolvex::agent::agent_main(argc, argv, tolvex::os_store::platform_os_store());
}
