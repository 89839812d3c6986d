// Registration of a module's ops with the host, called from the module body.
#pragma once

#include <initializer_list>

#include "pipeline/data.hpp"

namespace norvane {

struct OpRegistration {
    const char* name;  // a literal of the calling module: valid for the process's life
    pipeline::OpFunction op;
};

// Imports ravelin, takes the entry point from its capsule and registers each
// op in the given order. Throws what the module body turns into ImportError:
// the Python error of a failed import or attribute lookup ("initialization
// failed", with it as the cause), or a std::runtime_error when the capsule
// gives no pointer. Nothing is registered when the entry point is not found.
void register_ops(std::initializer_list<OpRegistration> ops);

}  // namespace norvane
