// The ops of _tarrowby. Internal to the module: the host reaches them only
// through the pointers handed over at registration.
#pragma once

#include "pipeline/data.hpp"

namespace tarrowby {

void duckdb_checkpoint_cpp(pipeline::Data& data);
void duckdb_sql_cpp(pipeline::Data& data);

}  // namespace tarrowby
