#pragma once

// Registering the agent as a Native Messaging host: manifest files, and on
// Windows the registry keys that point at them. One implementation per
// platform (registration_posix.cpp, registration_windows.cpp).

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "manifest.hpp"

namespace tolvexctl {

struct Registration {
    std::vector<Browser> browsers;
    Scope scope = Scope::user;
    ManifestSpec spec;
    // Write the manifests here instead of the browsers' own places (e.g. a
    // browser profile's NativeMessagingHosts folder); no registry entries.
    std::optional<std::filesystem::path> dir;
};

// Checks that do not depend on the platform: a valid host name, an absolute
// agent path, callers for every browser, and no two manifest forms in one
// --dir.
std::expected<void, std::string> check_registration(const Registration& registration);

// Each returns one line per manifest or key written or removed.
std::expected<std::vector<std::string>, std::string> install_host(const Registration& registration);
std::expected<std::vector<std::string>, std::string> uninstall_host(
    const Registration& registration);

// Shared by both platforms: writes a manifest, creating its directories.
std::expected<void, std::string> write_manifest_file(const std::filesystem::path& file,
                                                     const std::string& text);
// Removes a manifest; a missing file is not an error. True when one was there.
std::expected<bool, std::string> remove_manifest_file(const std::filesystem::path& file);

}  // namespace tolvexctl
