// Reading sample lists out of a payload, shared by the FIFO window and average ops.
#pragma once

#include <pybind11/pybind11.h>

// The fast path for lists of floats. Every translation unit of this module
// that converts std::vector<double> includes this header, so they all see the
// same caster.
#include "number_list_caster.hpp"

#include <initializer_list>
#include <vector>

namespace mirlow {

// One payload value as doubles: None (or a null handle) and values that are
// neither a list of numbers nor one number give an empty list. A Python error
// raised while the value is sized or iterated leaves as error_already_set.
std::vector<double> to_double_list(const pybind11::handle& value);

// The list under the first of keys present in payload (even when it reads as
// empty: later keys are not consulted); empty when none is present.
std::vector<double> values_from_payload(pybind11::dict payload, std::initializer_list<const char*> keys);

}  // namespace mirlow
