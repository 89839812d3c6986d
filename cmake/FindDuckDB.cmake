# Finds DuckDB's C++ headers (duckdb.hpp) and shared library (libduckdb).
# Defines the imported target DuckDB::duckdb. The version is read from
# duckdb.version beside the library when present (the bootstrap writes it),
# else from the header's DUCKDB_VERSION macro when it has one.
find_path(DuckDB_INCLUDE_DIR duckdb.hpp)
find_library(DuckDB_LIBRARY NAMES duckdb)

if(DuckDB_LIBRARY)
  get_filename_component(_duckdb_libdir "${DuckDB_LIBRARY}" DIRECTORY)
  if(EXISTS "${_duckdb_libdir}/duckdb.version")
    file(STRINGS "${_duckdb_libdir}/duckdb.version" DuckDB_VERSION LIMIT_COUNT 1)
  endif()
endif()
if(NOT DuckDB_VERSION AND DuckDB_INCLUDE_DIR)
  file(STRINGS "${DuckDB_INCLUDE_DIR}/duckdb.hpp" _duckdb_ver REGEX "#define DUCKDB_VERSION \"v?[0-9.]+")
  string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" DuckDB_VERSION "${_duckdb_ver}")
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(DuckDB
  REQUIRED_VARS DuckDB_LIBRARY DuckDB_INCLUDE_DIR
  VERSION_VAR DuckDB_VERSION)

if(DuckDB_FOUND AND NOT TARGET DuckDB::duckdb)
  add_library(DuckDB::duckdb SHARED IMPORTED)
  set_target_properties(DuckDB::duckdb PROPERTIES
    IMPORTED_LOCATION "${DuckDB_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${DuckDB_INCLUDE_DIR}")
endif()
mark_as_advanced(DuckDB_INCLUDE_DIR DuckDB_LIBRARY)
