#include "pyrelle/RandomIdentifier.hpp"

#include <uuid/uuid.h>

namespace pyrelle {

std::string randomIdentifier() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return text;
}

}  // namespace pyrelle
