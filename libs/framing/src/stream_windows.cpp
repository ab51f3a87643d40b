#include <io.h>

#include <algorithm>

#include "fd.hpp"

namespace tolvex::framing::fd {
namespace {

// The C runtime counts in int.
unsigned chunk_of(std::size_t size) {
    return static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
}

}  // namespace

// A pipe whose writer has gone reads as its end (the runtime turns
// ERROR_BROKEN_PIPE into 0), as on POSIX.
long read(int fd, char* out, std::size_t size) {
    return ::_read(fd, out, chunk_of(size));
}

long write(int fd, const char* data, std::size_t size) {
    return ::_write(fd, data, chunk_of(size));
}

}  // namespace tolvex::framing::fd
