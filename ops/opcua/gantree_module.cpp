// _gantree: registers the OPC UA source op with the ravelin host.
#include <pybind11/pybind11.h>

#include "opcua_ph_source.hpp"
#include "register_ops.hpp"

PYBIND11_MODULE(_gantree, m) {
    m.doc() = "C++ OPC UA ravelin ops for norvane (requires open62541)";
    norvane::register_ops({{"opcua_ph_source", &opcua_ph_source_op}});
}
