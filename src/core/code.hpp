// A coded concept: Code Value, Coding Scheme Designator and Code Meaning.
#pragma once

#include <string>

namespace loamwerk {

struct Code {
    std::string value, scheme, meaning;
    bool present() const { return !value.empty() || !scheme.empty() || !meaning.empty(); }
};

}  // namespace loamwerk
