#pragma once
// The SQLite file of the alarm store: one table of alarm rows, in WAL mode,
// with every commit flushed to the disk. Errors come back as SQLite's text
// ("" when all went well); nothing throws.
#include <string>
#include <vector>

#include "store/alarm_row.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kelvarix {

class StoreFile {
public:
    // How long a file that another program has locked is waited for.
    static constexpr int kBusyWaitMs = 1000;

    StoreFile() = default;
    ~StoreFile() { Close(); }
    StoreFile(const StoreFile&) = delete;
    StoreFile& operator=(const StoreFile&) = delete;

    // Opens the store, creating it (and its folder) when missing. A file
    // that is not SQLite, or another program's database, is refused. Read
    // only, an existing store can be read from a read-only disk.
    std::string Open(const std::string& path, bool read_only = false);
    std::string Load(std::vector<AlarmRow>& rows);
    // One transaction: each held row replaces the row of its key, the others
    // are deleted.
    std::string Write(const std::vector<AlarmRow>& rows);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    // The last error was another program's lock on the file.
    bool Locked() const { return locked_; }

private:
    std::string Exec(const char* sql);
    std::string Error();
    std::string Fail();  // the error, and the file closed

    sqlite3* db_ = nullptr;
    sqlite3_stmt* upsert_ = nullptr;
    sqlite3_stmt* erase_ = nullptr;
    bool locked_ = false;
};

// Moves the store file aside as "<path>.bad-YYYYMMDD-HHMMSS" (its -wal and
// -shm files along with it), keeping whatever a bad file holds for the
// operator. The new name, or "" with the reason in error.
std::string SetAside(const std::string& path, const LocalTime& now, std::string& error);

}  // namespace kelvarix
