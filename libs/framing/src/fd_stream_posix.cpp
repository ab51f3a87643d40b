#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tolvex/framing/stream.hpp"

namespace tolvex::framing {
namespace {

std::string error_text(int error) {
    return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

}  // namespace

IoResult FdStream::read_some(char* out, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_, out, size);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return std::unexpected(error_text(errno));
    }
}

IoResult FdStream::write_some(const char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::write(fd_, data, size);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return std::unexpected(error_text(errno));
    }
}

}  // namespace tolvex::framing
