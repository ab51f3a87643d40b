#include "host.hpp"
#include "platform.hpp"

int main(int argc, char** argv) {
    // Before anything else can write to standard output.
    auto channel = tolvex::agent::platform::claim_frame_channel();
    if (!channel)
        return 1;
    tolvex::agent::platform::restrict_library_search();
    return tolvex::agent::run_agent(argc, argv, *channel);
}
