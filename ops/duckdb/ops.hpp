// The ops of _tarrowby. Internal to the module: the host reaches them only
// through the pointers handed over at registration.
#pragma once

#include <stdexcept>
#include <string>

#include "nul_text.hpp"
#include "pipeline/data.hpp"

namespace tarrowby {

// The file system ends a path at its first NUL, so DuckDB would open another
// file than the one named (and create it). Refused before the database is
// opened; the message shows the NUL as \0, since what() would end there too.
inline void refuse_nul_in_path(const std::string& path, const char* op) {
    if (norvane::has_nul(path)) {
        throw std::runtime_error(std::string(op) + " failed: the database path holds a NUL byte: " +
                                 norvane::show_nul(path));
    }
}

void duckdb_checkpoint_cpp(pipeline::Data& data);
void duckdb_sql_cpp(pipeline::Data& data);

}  // namespace tarrowby
