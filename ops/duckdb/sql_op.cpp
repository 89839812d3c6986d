// The SQL op: runs the payload's SQL from the table it names into the table
// the caller names, and moves the payload on to that table.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <duckdb.hpp>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "ops.hpp"

namespace py = pybind11;

namespace tarrowby {
namespace {

// Left to right, and the inserted text is not searched again by this call.
void replace_all(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) {
        return;
    }
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

}  // namespace

void duckdb_sql_cpp(pipeline::Data& data) {
    py::dict payload = data.payload;

    // Presence of all four first, so the message names the first key missing
    // whatever the others hold.
    for (const char* key : {"duckdb_path", "data_table", "sql", "out_table"}) {
        if (!payload.contains(key)) {
            throw std::runtime_error(std::string("duckdb_sql_cpp requires payload['") + key + "']");
        }
    }
    const std::string duckdb_path = payload["duckdb_path"].cast<std::string>();
    const std::string in_table = payload["data_table"].cast<std::string>();
    const std::string sql = payload["sql"].cast<std::string>();
    const std::string out_table = payload["out_table"].cast<std::string>();

    // The second pass also runs over what the first one put in.
    std::string text = sql;
    replace_all(text, "{in_table}", in_table);
    replace_all(text, "{out_table}", out_table);

    // Made before the SQL runs, so that a name that is not UTF-8 fails the
    // call before the database is touched.
    const py::str out_value(out_table);

    refuse_nul_in_path(duckdb_path, "duckdb_sql_cpp");
    duckdb::DuckDB db(duckdb_path, nullptr);
    duckdb::Connection con(db);
    const auto result = con.Query(text);
    if (result->HasError()) {
        throw std::runtime_error("duckdb_sql_cpp failed: " + result->GetError());
    }

    payload["data_table"] = out_value;
    data.payload = payload;
}

}  // namespace tarrowby
