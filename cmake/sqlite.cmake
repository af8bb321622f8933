# SQLite, compiled into the program from the one-file form (sqlite3.c and
# sqlite3.h) that scripts/sqlite.sh makes from Debian 12's source package.
# No copy is kept in the project.
set(OVPRE_SQLITE_DIR "${PROJECT_SOURCE_DIR}/build/sqlite" CACHE PATH
    "Folder holding SQLite's sqlite3.c and sqlite3.h (made by scripts/sqlite.sh)")
if(NOT EXISTS "${OVPRE_SQLITE_DIR}/sqlite3.c" OR NOT EXISTS "${OVPRE_SQLITE_DIR}/sqlite3.h")
  message(FATAL_ERROR
    "SQLite is missing: ${OVPRE_SQLITE_DIR} holds no sqlite3.c and sqlite3.h. "
    "Run 'bash scripts/sqlite.sh' (it fetches Debian's sqlite3 source package and makes "
    "them), or point OVPRE_SQLITE_DIR at a folder that holds them.")
endif()

add_library(ovpre_sqlite STATIC "${OVPRE_SQLITE_DIR}/sqlite3.c")
# SYSTEM: SQLite's header is not held to the project's warnings.
target_include_directories(ovpre_sqlite SYSTEM PUBLIC "${OVPRE_SQLITE_DIR}")
# One thread per process, no loadable code, full-text search for the
# release names.
target_compile_definitions(ovpre_sqlite PRIVATE
  SQLITE_OMIT_LOAD_EXTENSION SQLITE_ENABLE_FTS5 SQLITE_THREADSAFE=0 SQLITE_DQS=0
  SQLITE_DEFAULT_MEMSTATUS=0 SQLITE_OMIT_DEPRECATED SQLITE_OMIT_SHARED_CACHE
  SQLITE_DEFAULT_WAL_SYNCHRONOUS=1
  # New record files are the program user's alone (before the umask).
  SQLITE_DEFAULT_FILE_PERMISSIONS=0600)
if(WIN32)
  # The same floor as the program's own calls.
  target_compile_definitions(ovpre_sqlite PRIVATE _WIN32_WINNT=0x0601 WINVER=0x0601)
else()
  target_link_libraries(ovpre_sqlite PRIVATE m)
endif()
