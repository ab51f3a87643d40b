#pragma once

// One call of the platform on a descriptor (stream_posix.cpp,
// stream_windows.cpp): the bytes moved, or -1 with errno set.

#include <cstddef>

namespace tolvex::framing::fd {

long read(int fd, char* out, std::size_t size);
long write(int fd, const char* data, std::size_t size);

}  // namespace tolvex::framing::fd
