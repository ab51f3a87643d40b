#include <cstdlib>

#include "support.hpp"

namespace tolvex::test {

void set_env(const std::string& name, const std::string& value) {
    ::_putenv_s(name.c_str(), value.c_str());
}

}  // namespace tolvex::test
