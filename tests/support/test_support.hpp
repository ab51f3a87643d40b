#pragma once

// Small helpers shared by the unit tests: temporary files and folders and
// the process environment. They build for Linux and for Windows (run under
// Wine); the environment has one part per platform (env_posix.cpp,
// env_windows.cpp).

#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

namespace tolvex::test {

// A temporary file whose descriptor the framing and logging code can use.
class TempFile {
  public:
    TempFile() : file_(std::tmpfile()) {}
    ~TempFile() {
        if (file_)
            std::fclose(file_);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fileno(file_); }
    void write(const std::string& bytes) {
        std::fwrite(bytes.data(), 1, bytes.size(), file_);
        std::fflush(file_);
        std::rewind(file_);
    }
    // Everything in the file; the descriptor is left at the start again.
    std::string contents() {
        std::fflush(file_);
        std::rewind(file_);
        std::string out;
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0)
            out.append(chunk, n);
        std::rewind(file_);
        return out;
    }

  private:
    std::FILE* file_;
};

// A fresh directory under the system's temporary directory, removed after.
class TempDir {
  public:
    TempDir() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("tolvex-host-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// A variable of this process as UTF-8 text, std::nullopt when unset. Set to
// the empty text, a variable is present (also on Windows, where the C
// runtime's own copy of the environment cannot hold an empty value).
std::optional<std::string> get_env(const char* name);
// Sets, or with std::nullopt removes, a variable of this process.
void set_env(const char* name, const std::optional<std::string>& value);

// Sets (or removes) an environment variable for the life of the object and
// restores the previous value afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value)
        : name_(name), previous_(get_env(name)) {
        set_env(name, value);
    }
    ~ScopedEnv() { set_env(name_, previous_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> previous_;
};

void write_text_file(const std::filesystem::path& path, const std::string& content);
std::string read_file_for_test(const std::filesystem::path& path);

}  // namespace tolvex::test
