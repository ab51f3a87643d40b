#include <unistd.h>

#include "fd.hpp"

namespace tolvex::framing::fd {

long read(int fd, char* out, std::size_t size) {
    return ::read(fd, out, size);
}

long write(int fd, const char* data, std::size_t size) {
    return ::write(fd, data, size);
}

}  // namespace tolvex::framing::fd
