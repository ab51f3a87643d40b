#include <cstdlib>

#include "support.hpp"

namespace tolvex::test {

void set_env(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace tolvex::test
