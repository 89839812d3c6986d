// A faster conversion of Python number lists to std::vector<double>.
//
// pybind11's standard list caster converts element by element through the
// generic double caster (a sequence protocol call, a reference count and a
// type test per item, about 23 ns each). The common input, an exact list or
// tuple of exact floats, is read here directly from the object's item array.
// Everything else (subclasses, ints, bools, objects with __float__ or
// __index__, generators, sets, dict views, bad items) goes to the standard
// caster unchanged, so accepted inputs, errors, TypeError texts and the
// generated signatures stay the standard ones.
//
// Include this header in every translation unit of a module that converts
// std::vector<double>, before the first conversion: the specialisation must
// be the one seen by the whole module, or two translation units would
// instantiate different casters for one type.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <vector>

namespace pybind11 {
namespace detail {

template <>
struct type_caster<std::vector<double>> : list_caster<std::vector<double>, double> {
    bool load(handle src, bool convert) {
        if (load_exact_floats(src)) {
            return true;
        }
        return list_caster<std::vector<double>, double>::load(src, convert);
    }

private:
    // True when src is an exact list or tuple of exact floats, read into
    // value. Reading an exact float runs no Python code, so the container
    // cannot change while it is read (the caller holds the interpreter lock).
    // False (value left for the standard caster to clear) on the first item
    // that is anything else.
    bool load_exact_floats(handle src) {
        PyObject* obj = src.ptr();
        PyObject** items;
        Py_ssize_t n;
        if (obj == nullptr) {
            return false;
        }
        if (PyList_CheckExact(obj)) {
            items = reinterpret_cast<PyListObject*>(obj)->ob_item;
            n = PyList_GET_SIZE(obj);
        } else if (PyTuple_CheckExact(obj)) {
            items = reinterpret_cast<PyTupleObject*>(obj)->ob_item;
            n = PyTuple_GET_SIZE(obj);
        } else {
            return false;
        }
        value.clear();
        value.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = items[i];
            if (!PyFloat_CheckExact(item)) {
                return false;
            }
            value.push_back(PyFloat_AS_DOUBLE(item));
        }
        return true;
    }
};

}  // namespace detail
}  // namespace pybind11
