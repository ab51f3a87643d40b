#pragma once

// The byte-level helpers of tolvexctl, over the agent's own: Base64 of the
// values it sends, and the wiping of a secret.

#include <string>
#include <string_view>

namespace tolvexctl {

// Standard alphabet, "=" padding.
std::string base64_encode(std::string_view bytes);

// Overwrites a text that held a secret (the PIN); not optimised away.
void wipe(std::string& text);

}  // namespace tolvexctl
