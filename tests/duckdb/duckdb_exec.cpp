// Test helper: duckdb_exec FILE SQL runs SQL on the database file and prints
// the rows of the last statement as CSV, without a header. Every value is
// quoted; NULL is an empty unquoted field (csv.QUOTE_NOTNULL reads it as
// None). Errors go to stderr with exit status 1.
#include <duckdb.h>

#include <cstdio>
#include <string>

namespace {

void print_field(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        out += *p;
        if (*p == '"') {
            out += '"';
        }
    }
    out += '"';
    std::fputs(out.c_str(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE SQL\n", argv[0]);
        return 2;
    }
    duckdb_database db = nullptr;
    char* open_error = nullptr;
    if (duckdb_open_ext(argv[1], &db, nullptr, &open_error) != DuckDBSuccess) {
        std::fprintf(stderr, "open failed: %s\n", open_error != nullptr ? open_error : "?");
        duckdb_free(open_error);
        return 1;
    }
    duckdb_connection con = nullptr;
    int status = 1;
    if (duckdb_connect(db, &con) == DuckDBSuccess) {
        duckdb_result result;
        if (duckdb_query(con, argv[2], &result) == DuckDBSuccess) {
            const idx_t columns = duckdb_column_count(&result);
            const idx_t rows = duckdb_row_count(&result);
            for (idx_t row = 0; row < rows; ++row) {
                for (idx_t col = 0; col < columns; ++col) {
                    if (col > 0) {
                        std::fputc(',', stdout);
                    }
                    if (!duckdb_value_is_null(&result, col, row)) {
                        char* text = duckdb_value_varchar(&result, col, row);
                        print_field(text != nullptr ? text : "");
                        duckdb_free(text);
                    }
                }
                std::fputc('\n', stdout);
            }
            status = 0;
        } else {
            std::fprintf(stderr, "query failed: %s\n", duckdb_result_error(&result));
        }
        duckdb_destroy_result(&result);
        duckdb_disconnect(&con);
    }
    duckdb_close(&db);
    return status;
}
