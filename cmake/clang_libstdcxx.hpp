// Included first in every C++ file of the clang (fuzz) build. clang flags
// libstdc++'s own call of its deprecated get_temporary_buffer (from
// std::stable_sort); read the header once with that warning off so the
// template's later uses are judged by this state, and nothing else is.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
#include <bits/stl_tempbuf.h>
#pragma clang diagnostic pop
