# The Windows build (cross-built with cmake/mingw-w64.cmake). Included before
# the warning flags are set, so that GoogleTest builds with its own.

# Asio is header-only and comes from the build machine. The cross compiler
# gets a folder that holds Asio alone: the rest of /usr/include is the build
# machine's C library, which must not shadow the target's headers.
set(KELVARIX_ASIO_HEADERS /usr/include CACHE PATH "Folder that holds asio.hpp and asio/")
set(asio_only ${CMAKE_BINARY_DIR}/asio-include)
file(MAKE_DIRECTORY ${asio_only})
foreach(entry asio.hpp asio)
  if(NOT EXISTS ${asio_only}/${entry})
    file(CREATE_LINK ${KELVARIX_ASIO_HEADERS}/${entry} ${asio_only}/${entry} SYMBOLIC)
  endif()
endforeach()
include_directories(SYSTEM ${asio_only})

# SQLite from its amalgamation, which scripts/install-windows-deps.sh
# unpacks; the Linux build uses Debian's libsqlite3 instead.
set(KELVARIX_SQLITE_AMALGAMATION ${CMAKE_SOURCE_DIR}/.cache/sqlite-autoconf-3520000
    CACHE PATH "Folder that holds sqlite3.c and sqlite3.h")
if(NOT EXISTS ${KELVARIX_SQLITE_AMALGAMATION}/sqlite3.c)
  message(FATAL_ERROR "No sqlite3.c in ${KELVARIX_SQLITE_AMALGAMATION}: run scripts/install-windows-deps.sh")
endif()
enable_language(C)
add_library(kelvarix_sqlite3 STATIC ${KELVARIX_SQLITE_AMALGAMATION}/sqlite3.c)
target_include_directories(kelvarix_sqlite3 SYSTEM PUBLIC ${KELVARIX_SQLITE_AMALGAMATION})
target_compile_definitions(kelvarix_sqlite3 PRIVATE SQLITE_OMIT_LOAD_EXTENSION)
add_library(SQLite::SQLite3 ALIAS kelvarix_sqlite3)

# The event log's message table is compiled with windmc and windres.
find_program(KELVARIX_WINDMC NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-windmc windmc REQUIRED)

# Windows 10 and later; the lean <windows.h> without min/max macros.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)
link_libraries(ws2_32 mswsock)

if(KELVARIX_TESTS)
  # GoogleTest from its sources, built for the target.
  set(KELVARIX_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KELVARIX_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
