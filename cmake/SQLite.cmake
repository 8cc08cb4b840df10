# SQLite for the state database: Debian's library natively and for arm64
# (libsqlite3-dev, libsqlite3-dev:arm64); for Windows, where Debian has none,
# the public-domain amalgamation (SQLite 3.53.2) from the npm package
# better-sqlite3 12.11.1, fetched once with its SHA-256 pinned and compiled
# into qortool.
if(NOT WIN32)
  find_package(SQLite3 REQUIRED)
  return()
endif()

enable_language(C)
set(qor_sqlite_tarball "${CMAKE_BINARY_DIR}/_deps/better-sqlite3-12.11.1.tgz")
set(qor_sqlite_dir "${CMAKE_BINARY_DIR}/_deps/sqlite3")
if(NOT EXISTS "${qor_sqlite_dir}/package/deps/sqlite3/sqlite3.c")
  file(DOWNLOAD https://registry.npmjs.org/better-sqlite3/-/better-sqlite3-12.11.1.tgz
       "${qor_sqlite_tarball}"
       EXPECTED_HASH SHA256=ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835
       TLS_VERIFY ON STATUS status)
  list(GET status 0 code)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "cannot fetch the SQLite amalgamation: ${status}")
  endif()
  file(ARCHIVE_EXTRACT INPUT "${qor_sqlite_tarball}" DESTINATION "${qor_sqlite_dir}"
       PATTERNS package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h)
endif()
add_library(qor_sqlite3 STATIC "${qor_sqlite_dir}/package/deps/sqlite3/sqlite3.c")
target_include_directories(qor_sqlite3 SYSTEM PUBLIC "${qor_sqlite_dir}/package/deps/sqlite3")
# SQLite's own build is not held to this project's warnings; what the
# state database does not use is left out.
target_compile_options(qor_sqlite3 PRIVATE -w)
target_compile_definitions(qor_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION
                                               SQLITE_DQS=0 SQLITE_OMIT_DEPRECATED)
add_library(SQLite::SQLite3 ALIAS qor_sqlite3)
