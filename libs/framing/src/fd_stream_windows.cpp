#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tolvex/framing/stream.hpp"

namespace tolvex::framing {
namespace {

std::string error_text(int error) {
    return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

// The C runtime counts in int.
unsigned chunk_of(std::size_t size) {
    return static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
}

}  // namespace

// A pipe whose writer has gone reads as its end (the runtime turns
// ERROR_BROKEN_PIPE into 0), as on POSIX.
IoResult FdStream::read_some(char* out, std::size_t size) {
    for (;;) {
        const int n = ::_read(fd_, out, chunk_of(size));
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return std::unexpected(error_text(errno));
    }
}

IoResult FdStream::write_some(const char* data, std::size_t size) {
    for (;;) {
        const int n = ::_write(fd_, data, chunk_of(size));
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return std::unexpected(error_text(errno));
    }
}

}  // namespace tolvex::framing
