// The record the host hands to every op: the step's payload dict, borrowed
// for one call and changed in place.
#pragma once

#include <pybind11/pybind11.h>

namespace pipeline {

struct Data {
    pybind11::dict payload;
};

using OpFunction = void (*)(Data&);

// The host's entry point, handed over in the capsule "ravelin.register_op_v1".
using RegisterOpFunction = void (*)(const char* name, OpFunction op);

}  // namespace pipeline
