#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "registration.hpp"
#include "text.hpp"

extern char** environ;

namespace tolvexctl {

namespace {

// The package that owns `file` in dpkg's database ("dpkg-query -S", an
// exact match for an absolute path), or nothing: not owned, or no dpkg.
std::optional<std::string> owning_package(const std::filesystem::path& file) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string program = "dpkg-query";
    std::string option = "-S";
    std::string path = file.string();
    char* argv[] = {program.data(), option.data(), path.data(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "dpkg-query", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string answer;
    if (spawned == 0) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            answer.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(out[0]);
    if (spawned != 0)
        return std::nullopt;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    // "pkg1, pkg2: /path"; diversion lines have other forms.
    const std::string suffix = ": " + path;
    std::size_t start = 0;
    while (start < answer.size()) {
        auto end = answer.find('\n', start);
        if (end == std::string::npos)
            end = answer.size();
        const std::string_view line(answer.data() + start, end - start);
        if (line.ends_with(suffix) && !line.starts_with("diversion "))
            return std::string(line.substr(0, line.size() - suffix.size()));
        start = end + 1;
    }
    return std::nullopt;
}

// Files a package owns are the package's to write and remove: a change here
// would be undone, or reported as tampering, by the next upgrade.
std::expected<void, std::string> refuse_package_files(
    const std::vector<std::filesystem::path>& files) {
    for (const auto& file : files) {
        if (auto package = owning_package(file)) {
            return std::unexpected(
                utf8(file) + " pertence ao pacote " + *package +
                "; nada foi alterado. Para registrar outro agente, use --name ou --dir, "
                "ou remova o pacote antes");
        }
    }
    return {};
}

std::expected<std::filesystem::path, std::string> manifest_dir(const Registration& r, Browser b) {
    if (r.dir)
        return *r.dir;
    if (r.scope == Scope::system)
        return linux_manifest_dir(b, r.scope, {});
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        return std::unexpected(std::string("HOME não está definido"));
    }
    return linux_manifest_dir(b, r.scope, home);
}

// One manifest per browser, in the order of r.browsers.
std::expected<std::vector<std::filesystem::path>, std::string> manifest_files(
    const Registration& r) {
    std::vector<std::filesystem::path> files;
    for (Browser b : r.browsers) {
        auto dir = manifest_dir(r, b);
        if (!dir)
            return std::unexpected(dir.error());
        files.push_back(*dir / (r.spec.host_name + ".json"));
    }
    return files;
}

}  // namespace

std::expected<std::vector<std::string>, std::string> install_host(const Registration& r) {
    if (auto ok = check_registration(r); !ok)
        return std::unexpected(ok.error());
    auto files = manifest_files(r);
    if (!files)
        return std::unexpected(files.error());
    if (auto ok = refuse_package_files(*files); !ok)
        return std::unexpected(ok.error());
    std::vector<std::string> done;
    for (std::size_t i = 0; i < files->size(); ++i) {
        const auto& file = (*files)[i];
        if (auto w = write_manifest_file(file, manifest_json(r.browsers[i], r.spec)); !w) {
            return std::unexpected(w.error());
        }
        done.push_back(std::string(browser_name(r.browsers[i])) + ": " + utf8(file));
    }
    return done;
}

std::expected<std::vector<std::string>, std::string> uninstall_host(const Registration& r) {
    if (!valid_host_name(r.spec.host_name)) {
        return std::unexpected("nome de host inválido: " + r.spec.host_name);
    }
    auto files = manifest_files(r);
    if (!files)
        return std::unexpected(files.error());
    if (auto ok = refuse_package_files(*files); !ok)
        return std::unexpected(ok.error());
    std::vector<std::string> done;
    for (std::size_t i = 0; i < files->size(); ++i) {
        const auto& file = (*files)[i];
        auto removed = remove_manifest_file(file);
        if (!removed)
            return std::unexpected(removed.error());
        done.push_back(std::string(browser_name(r.browsers[i])) + ": " + utf8(file) +
                       (*removed ? " removido" : " já não existia"));
    }
    return done;
}

}  // namespace tolvexctl
