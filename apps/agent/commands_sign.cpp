#include "handler.hpp"
