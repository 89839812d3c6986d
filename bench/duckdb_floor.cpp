// The floor for the DuckDB ops: what a C++ program needs per call.
//
//   duckdb_floor checkpoint PATH N REPEATS
//     open PATH, create the data and state tables, append N rows with the
//     Appender and one state row in one transaction, close; PATH is removed
//     before each repetition (the op is measured on a fresh file too).
//   duckdb_floor sql PATH "SQL" REPEATS
//     open PATH, run SQL, close.
//
// Prints one time in seconds per repetition.
#include <duckdb.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void checkpoint(const std::string& path, long n) {
    duckdb::DuckDB db(path);
    duckdb::Connection con(db);
    con.BeginTransaction();
    con.Query("CREATE TABLE IF NOT EXISTS data_bench_C (idx BIGINT, value DOUBLE, sample_id BIGINT);");
    {
        duckdb::Appender appender(con, "data_bench_C");
        for (long i = 0; i < n; ++i) {
            appender.BeginRow();
            appender.Append<int64_t>(i);
            appender.Append<double>(7.0 + static_cast<double>(i % 1000) * 1e-3);
            appender.Append<int64_t>(0);
            appender.EndRow();
        }
        appender.Close();
    }
    con.Query(
        "CREATE TABLE IF NOT EXISTS pipeline_state (  run_id       TEXT,  step         TEXT,  duckdb_path  TEXT,  "
        "data_table   TEXT,  payload_json TEXT);");
    auto stmt = con.Prepare(
        "INSERT INTO pipeline_state (run_id, step, duckdb_path, data_table, payload_json) VALUES (?, ?, ?, ?, ?);");
    stmt->Execute("bench", "C", path, "data_bench_C", "{\"run_id\": \"bench\"}");
    con.Commit();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s checkpoint PATH N REPEATS | sql PATH SQL REPEATS\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const std::string path = argv[2];
    const long repeats = std::atol(argv[4]);
    try {
        for (long r = 0; r < repeats; ++r) {
            if (mode == "checkpoint") {
                std::remove(path.c_str());
                std::remove((path + ".wal").c_str());
                const auto start = std::chrono::steady_clock::now();
                checkpoint(path, std::atol(argv[3]));
                std::printf("%.9g\n", seconds_since(start));
            } else {
                const auto start = std::chrono::steady_clock::now();
                {
                    duckdb::DuckDB db(path);
                    duckdb::Connection con(db);
                    auto result = con.Query(argv[3]);
                    if (result->HasError()) {
                        std::fprintf(stderr, "%s\n", result->GetError().c_str());
                        return 1;
                    }
                }
                std::printf("%.9g\n", seconds_since(start));
            }
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
