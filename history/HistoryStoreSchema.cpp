// The layout of the history file: its version, and the forward migrations to it.

#include "history/HistoryStore.h"

#include "SqliteCode.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>

namespace tallyglass {

bool HistoryStore::prepareSchema(int* code)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    // The first statement reads the file, so a damaged one shows here.
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        *code = sqlite::code(q.lastError());
        return false;
    }
    version_ = q.value(0).toInt();
    if (access_ == Access::readOnly || version_ > schemaVersion)
        return true;
    // WAL lets the history window read while another process writes.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next() ||
        !q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))) {
        *code = sqlite::code(q.lastError());
        return false;
    }
    return version_ == schemaVersion || migrate(code);
}

// Brings a file of an earlier layout (or a new, empty one) to schemaVersion in one
// transaction: it either keeps every row or is left as it was.
bool HistoryStore::migrate(int* code)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    const auto run = [&q](const char* statement) { return q.exec(QLatin1String(statement)); };
    if (!run("BEGIN IMMEDIATE")) {
        *code = sqlite::code(q.lastError());
        return false;
    }
    // Another process may have migrated while this one waited for the lock.
    bool ok = run("PRAGMA user_version") && q.next();
    const int version = ok ? q.value(0).toInt() : 0;
    ok = ok && run("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'readings'") && q.next();
    const bool unversioned = ok && version == 0 && q.value(0).toInt() > 0;
    if (ok && version == 0) {
        // One row per bucket of a reading, the codex bucket first (bucket 0); readings of
        // the same millisecond are told apart by seq. The key is the time order, so no second
        // index is needed (and 0 and 1 take no bytes). A window that was absent has NULL in
        // all three of its columns; limit_name is NULL where it is the id.
        ok = (!unversioned || run("ALTER TABLE readings RENAME TO readings_unversioned")) &&
            run("CREATE TABLE readings ("
                "at_ms INTEGER NOT NULL, seq INTEGER NOT NULL, bucket INTEGER NOT NULL,"
                " limit_id TEXT NOT NULL, limit_name TEXT,"
                " five_used INTEGER, five_minutes INTEGER, five_resets REAL,"
                " week_used INTEGER, week_minutes INTEGER, week_resets REAL,"
                " PRIMARY KEY (at_ms, seq, bucket)) WITHOUT ROWID") &&
            (!unversioned ||
             (run("INSERT INTO readings SELECT at_ms, 0, 0, 'codex', NULL,"
                  " five_used, five_minutes, five_resets, week_used, week_minutes, week_resets"
                  " FROM readings_unversioned") &&
              run("DROP TABLE readings_unversioned"))) &&
            run("PRAGMA user_version = 1");
    }
    static_assert(schemaVersion == 1, "add the step from the previous version above");
    ok = ok && run("COMMIT");
    if (!ok) {
        *code = sqlite::code(q.lastError());
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    version_ = std::max(version, schemaVersion);
    return true;
}

// Inside a write transaction: false when a later version has migrated the file since it
// was opened, which is then only read.
bool HistoryStore::stillOurs(QSqlQuery& q)
{
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return false;
    version_ = q.value(0).toInt();
    return version_ <= schemaVersion;
}

} // namespace tallyglass
