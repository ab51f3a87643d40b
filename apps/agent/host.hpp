#pragma once

// The agent process: start-up, the caller-origin check and the Native
// Messaging loop.

#include <optional>
#include <string>

#include "platform.hpp"
#include "tolvex/os_store/os_store.hpp"

namespace tolvex::agent {

// The origin check against TOLVEX_ALLOWED_ORIGINS. `allowed` is the
// variable's value (std::nullopt when unset: every caller is accepted). The
// value is split at commas, pieces trimmed, empty ones skipped; the origin
// must equal one piece exactly. An allow-list that is not valid Unicode text
// (`allowed_unicode` false) accepts nobody: an unreadable restriction is not
// the same as none.
bool origin_allowed(const std::optional<std::string>& allowed, bool allowed_unicode,
                    const platform::CallerOrigin& origin);

// Who is calling, as the browser names it. Chrome-family browsers pass the
// extension's origin ("chrome-extension://ID/") first, and on Windows a
// "--parent-window=" after it; Firefox passes the host manifest's path first
// and the add-on ID second. So the caller is the first argument when it is
// a chrome-extension origin, else the second when there is one, else the
// first (empty when there is none).
platform::CallerOrigin caller_identity(int argc, char** argv);

// Runs the agent over `os_store` (listed and searched before the PKCS#11
// modules, when there is one), its frames written to `channel` (see
// platform::claim_frame_channel); returns the exit status (0 end of input,
// 1 framing failure or the browser gone, 2 origin refused).
int run_agent(int argc, char** argv, int channel, os_store::OsStore os_store);

// The program: takes the frame channel first, then runs the agent. The
// product passes the platform's store (os_store::platform_os_store), the
// test build of the agent the emulated one; building either writes nothing.
int agent_main(int argc, char** argv, os_store::OsStore os_store);

}  // namespace tolvex::agent
