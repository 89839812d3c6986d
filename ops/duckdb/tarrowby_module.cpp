// _tarrowby: registers the DuckDB ops with the host on import.
#include <pybind11/pybind11.h>

#include "ops.hpp"
#include "register_ops.hpp"

PYBIND11_MODULE(_tarrowby, m) {
    m.doc() = "C++ DuckDB ops for norvane (register_cpp_op via capsule)";

    // The host keeps this order; the names are literals, valid for the process's life.
    norvane::register_ops({
        {"duckdb_checkpoint_cpp", &tarrowby::duckdb_checkpoint_cpp},
        {"duckdb_sql_cpp", &tarrowby::duckdb_sql_cpp},
    });
}
