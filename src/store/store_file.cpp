#include "store/store_file.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>

namespace kelvarix {

namespace {

// Marks the file as this program's store ("Klvx").
constexpr int kApplicationId = 0x4B6C7678;

constexpr const char* kCreate =
    "CREATE TABLE alarm(key INTEGER PRIMARY KEY, queue_pos INTEGER NOT NULL,"
    " buffer_pos INTEGER NOT NULL, in_doubt INTEGER NOT NULL, state INTEGER NOT NULL,"
    " status INTEGER NOT NULL, system INTEGER NOT NULL, tag TEXT NOT NULL,"
    " event_id TEXT NOT NULL, alarm_id TEXT NOT NULL, destination TEXT NOT NULL,"
    " terminal_id TEXT NOT NULL, message TEXT NOT NULL, acked_by TEXT NOT NULL,"
    " queued_local TEXT NOT NULL, queued_at INTEGER NOT NULL)";
constexpr const char* kColumns =
    "key, queue_pos, buffer_pos, in_doubt, state, status, system, tag, event_id, alarm_id,"
    " destination, terminal_id, message, acked_by, queued_local, queued_at";

std::string Text(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                : std::string();
}

void Bind(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

}  // namespace

std::string StoreFile::Error() {
    if (!db_) return "out of memory";
    const int code = sqlite3_errcode(db_);
    locked_ = code == SQLITE_BUSY || code == SQLITE_LOCKED;
    return sqlite3_errmsg(db_);
}

std::string StoreFile::Fail() {
    std::string error = Error();
    Close();
    return error;
}

std::string StoreFile::Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? "" : Error();
}

std::string StoreFile::Open(const std::string& path, bool read_only) {
    Close();
    std::error_code ignored;
    const auto folder = std::filesystem::path(path).parent_path();
    if (!folder.empty() && !read_only) std::filesystem::create_directories(folder, ignored);
    const int mode = read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, mode | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        return Fail();
    }
    sqlite3_busy_timeout(db_, kBusyWaitMs);
    // The first read of the header refuses a file that is not SQLite.
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT (SELECT count(*) FROM sqlite_master), application_id"
                                " FROM pragma_application_id",
                           -1, &query, nullptr) != SQLITE_OK) {
        return Fail();
    }
    const int step = sqlite3_step(query);
    const int tables = sqlite3_column_int(query, 0);
    const int application_id = sqlite3_column_int(query, 1);
    sqlite3_finalize(query);
    if (step != SQLITE_ROW) return Fail();

    std::string error = read_only ? "" : Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL");
    if (error.empty() && tables == 0 && application_id == 0 && !read_only) {
        error = Exec((std::string("PRAGMA application_id=") + std::to_string(kApplicationId) +
                      "; " + kCreate)
                         .c_str());
    } else if (error.empty() && application_id != kApplicationId) {
        error = "the file is another program's database";
    }
    if (error.empty() &&
        (sqlite3_prepare_v2(db_,
                            (std::string("INSERT OR REPLACE INTO alarm(") + kColumns +
                             ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)")
                                .c_str(),
                            -1, &upsert_, nullptr) != SQLITE_OK ||
         sqlite3_prepare_v2(db_, "DELETE FROM alarm WHERE key=?", -1, &erase_, nullptr) !=
             SQLITE_OK)) {
        error = Error();
    }
    if (!error.empty()) Close();
    return error;
}

std::string StoreFile::Load(std::vector<AlarmRow>& rows) {
    if (!db_) return "the store is not open";
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db_, (std::string("SELECT ") + kColumns + " FROM alarm").c_str(), -1,
                           &query, nullptr) != SQLITE_OK) {
        return Error();
    }
    int step;
    while ((step = sqlite3_step(query)) == SQLITE_ROW) {
        AlarmRow& row = rows.emplace_back();
        row.key = static_cast<std::uint64_t>(sqlite3_column_int64(query, 0));
        row.queue_position = static_cast<std::uint64_t>(sqlite3_column_int64(query, 1));
        row.buffer_position = static_cast<std::uint64_t>(sqlite3_column_int64(query, 2));
        row.in_doubt = sqlite3_column_int(query, 3) != 0;
        row.state = static_cast<std::int16_t>(sqlite3_column_int(query, 4));
        row.status = static_cast<std::int16_t>(sqlite3_column_int(query, 5));
        row.system = static_cast<std::int16_t>(sqlite3_column_int(query, 6));
        row.tag = Text(query, 7);
        row.event_id = Text(query, 8);
        row.alarm_id = Text(query, 9);
        row.destination = Text(query, 10);
        row.terminal_id = Text(query, 11);
        row.message = Text(query, 12);
        row.acked_by = Text(query, 13);
        row.queued_local = Text(query, 14);
        row.queued_wall_ms = sqlite3_column_int64(query, 15);
    }
    sqlite3_finalize(query);
    return step == SQLITE_DONE ? "" : Error();
}

std::string StoreFile::Write(const std::vector<AlarmRow>& rows) {
    if (!db_) return "the store is not open";
    if (!Exec("BEGIN IMMEDIATE").empty()) return Fail();
    for (const AlarmRow& row : rows) {
        sqlite3_stmt* statement = row.Held() ? upsert_ : erase_;
        sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(row.key));
        if (row.Held()) {
            sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(row.queue_position));
            sqlite3_bind_int64(statement, 3, static_cast<sqlite3_int64>(row.buffer_position));
            sqlite3_bind_int(statement, 4, row.in_doubt ? 1 : 0);
            sqlite3_bind_int(statement, 5, row.state);
            sqlite3_bind_int(statement, 6, row.status);
            sqlite3_bind_int(statement, 7, row.system);
            Bind(statement, 8, row.tag);
            Bind(statement, 9, row.event_id);
            Bind(statement, 10, row.alarm_id);
            Bind(statement, 11, row.destination);
            Bind(statement, 12, row.terminal_id);
            Bind(statement, 13, row.message);
            Bind(statement, 14, row.acked_by);
            Bind(statement, 15, row.queued_local);
            sqlite3_bind_int64(statement, 16, row.queued_wall_ms);
        }
        const int step = sqlite3_step(statement);
        sqlite3_reset(statement);
        if (step != SQLITE_DONE) return Fail();  // closing rolls back
    }
    // A commit that fails leaves the transaction open; closing rolls it back.
    if (!Exec("COMMIT").empty()) return Fail();
    return "";
}

void StoreFile::Close() {
    sqlite3_finalize(upsert_);
    sqlite3_finalize(erase_);
    upsert_ = erase_ = nullptr;
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

std::string SetAside(const std::string& path, const LocalTime& now, std::string& error) {
    namespace fs = std::filesystem;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, ".bad-%04d%02d%02d-%02d%02d%02d", now.year, now.month,
                  now.day, now.hour, now.minute, now.second);
    std::error_code ec;
    std::string target = path + stamp;
    for (int n = 2; fs::exists(target, ec); ++n) target = path + stamp + "-" + std::to_string(n);
    // The companions first: a WAL left behind would be replayed into the new store.
    for (const char* companion : {"-wal", "-shm", ""}) {
        if (*companion != '\0' && !fs::exists(path + companion, ec)) continue;
        fs::rename(path + companion, target + companion, ec);
        if (ec) {
            error = ec.message();
            return "";
        }
    }
    return target;
}

}  // namespace kelvarix
