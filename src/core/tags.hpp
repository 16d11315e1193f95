// Standard attributes by name: tags::k<Keyword> for every keyword of the data dictionary
// (generated from it by tools/gen_dictionary.py). Code names tags; hexadecimal stays in tables.
#pragma once

#include "core/generated/tag_names.hpp"
