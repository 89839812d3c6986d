// The checkpoint op: stores a run's sample values and a record of its state
// in a DuckDB file, and leaves the file and the table's name in the payload.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <duckdb.hpp>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops.hpp"

namespace py = pybind11;

namespace tarrowby {
namespace {

// Peers read these tables, so the statements are kept exactly as they stand.
const char* const kCreateStateTable =
    "CREATE TABLE IF NOT EXISTS pipeline_state (  run_id       TEXT,  step         TEXT,  duckdb_path  TEXT,  "
    "data_table   TEXT,  payload_json TEXT);";
const char* const kInsertState =
    "INSERT INTO pipeline_state (run_id, step, duckdb_path, data_table, payload_json) VALUES (?, ?, ?, ?, ?);";

std::string get_str_or(py::dict payload, const char* key, const std::string& fallback) {
    if (payload.contains(key)) {
        return payload[key].cast<std::string>();
    }
    return fallback;
}

// Every byte outside [A-Za-z0-9_] becomes one "_", so the length never
// changes and the name needs no quoting in SQL.
std::string sanitize_identifier(const std::string& text) {
    // Built on first use and kept for the process; the initialisation of a
    // function-local static is safe against concurrent first calls.
    static const std::regex pattern("[^A-Za-z0-9_]");
    std::string result = std::regex_replace(text, pattern, "_");
    if (result.empty()) {
        result = "table";
    }
    return result;
}

[[noreturn]] void fail(const std::string& duckdb_error) {
    throw std::runtime_error("duckdb_checkpoint_cpp failed: " + duckdb_error);
}

void run_checked(duckdb::Connection& con, const std::string& sql) {
    const auto result = con.Query(sql);
    if (result->HasError()) {
        fail(result->GetError());
    }
}

// Rolls the checkpoint's transaction back unless it was committed, so that a
// failure anywhere after BEGIN stores neither data rows nor the state row.
struct TransactionGuard {
    duckdb::Connection& con;
    bool committed = false;

    ~TransactionGuard() {
        if (!committed) {
            try {
                con.Query("ROLLBACK;");
            } catch (...) {
                // Closing the connection rolls an open transaction back as well.
            }
        }
    }
};

}  // namespace

void duckdb_checkpoint_cpp(pipeline::Data& data) {
    py::dict payload = data.payload;

    // All reading and converting comes first: a bad payload leaves the file untouched.
    if (!payload.contains("run_id")) {
        throw std::runtime_error("duckdb_checkpoint_cpp requires payload['run_id']");
    }
    const std::string run_id = payload["run_id"].cast<std::string>();
    const std::string step = get_str_or(payload, "step", "C");
    const std::string duckdb_path = get_str_or(payload, "duckdb_path", "work.duckdb");

    std::vector<double> values;
    if (payload.contains("values")) {
        const py::object given = payload["values"];
        if (!given.is_none()) {
            try {
                values = given.cast<std::vector<double>>();
            } catch (const std::exception& e) {
                throw std::runtime_error(
                    std::string("duckdb_checkpoint_cpp: payload['values'] must be a sequence of floats: ") + e.what());
            }
        }
    }
    const std::int64_t sample_id = payload.contains("sample_id") ? payload["sample_id"].cast<std::int64_t>() : 0;
    const std::string table = "data_" + sanitize_identifier(run_id) + "_" + sanitize_identifier(step);

    // The snapshot is the payload as it came, less "values", taken from a copy
    // before anything is written: if JSON cannot encode it, nothing is stored
    // and the payload keeps its values.
    const auto snapshot = py::reinterpret_steal<py::dict>(PyDict_Copy(payload.ptr()));
    if (!snapshot) {
        throw py::error_already_set();
    }
    snapshot.attr("pop")("values", py::none());
    const std::string payload_json = py::module_::import("json").attr("dumps")(snapshot).cast<std::string>();

    // Made before the commit, so that once the rows are stored nothing left
    // to do on the Python side can fail (a path that is not UTF-8 fails here).
    const py::str path_value(duckdb_path);
    const py::str table_value(table);

    refuse_nul_in_path(duckdb_path, "duckdb_checkpoint_cpp");
    duckdb::DuckDB db(duckdb_path, nullptr);
    duckdb::Connection con(db);

    // The data rows and the state row are committed together or not at all.
    run_checked(con, "BEGIN TRANSACTION;");
    TransactionGuard transaction{con};

    run_checked(con, "CREATE TABLE IF NOT EXISTS " + table + " (idx BIGINT, value DOUBLE, sample_id BIGINT);");
    {
        duckdb::Appender appender(con, table);
        for (std::size_t i = 0; i < values.size(); ++i) {
            appender.BeginRow();
            appender.Append<int64_t>(static_cast<std::int64_t>(i));
            appender.Append<double>(values[i]);
            appender.Append<int64_t>(sample_id);
            appender.EndRow();
        }
        appender.Close();
    }

    run_checked(con, kCreateStateTable);
    {
        const auto insert = con.Prepare(kInsertState);
        if (insert->HasError()) {
            fail(insert->GetError());
        }
        // Bound as VARCHAR values, so the texts need no quoting. The values are
        // made explicitly: Execute(std::string...) would bind BLOBs, which the
        // TEXT columns then store in escaped form ("\x22" for each quote). The
        // result is materialised so that every error shows in it.
        duckdb::vector<duckdb::Value> params{duckdb::Value(run_id), duckdb::Value(step), duckdb::Value(duckdb_path),
                                             duckdb::Value(table), duckdb::Value(payload_json)};
        const auto result = insert->Execute(params, false);
        if (result->HasError()) {
            fail(result->GetError());
        }
    }

    run_checked(con, "COMMIT;");
    transaction.committed = true;

    payload.attr("pop")("values", py::none());
    payload["duckdb_path"] = path_value;
    payload["data_table"] = table_value;
    data.payload = payload;
}

}  // namespace tarrowby
