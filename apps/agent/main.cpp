#include "host.hpp"
#include "platform.hpp"

int main(int argc, char** argv) {
    tolvex::agent::platform::prepare_standard_streams();
    return tolvex::agent::run_agent(argc, argv);
}
