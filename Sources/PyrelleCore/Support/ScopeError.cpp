#include "pyrelle/ScopeError.hpp"
