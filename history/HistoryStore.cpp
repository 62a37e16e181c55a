#include "history/HistoryStore.h"
#include "history/StateFolder.h"

#include "StoreFile.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>
#include <algorithm>
#include <cmath>
#include <limits>

namespace tallyglass {
namespace {

// SQLite's primary result codes that mean the file is not a usable database.
constexpr int sqliteCorrupt = 11;
constexpr int sqliteNotADatabase = 26;
constexpr int sqliteCantOpen = 14;

int sqliteCode(const QSqlError& error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : -1;
}

qint64 toMs(double seconds)
{
    return static_cast<qint64>(std::llround(seconds * 1000.0));
}

QVariant nullable(const std::optional<std::int64_t>& v)
{
    return v ? QVariant(qint64(*v)) : QVariant(QMetaType(QMetaType::LongLong));
}

QVariant nullable(const std::optional<double>& v)
{
    return v ? QVariant(*v) : QVariant(QMetaType(QMetaType::Double));
}

// Columns used, minutes, resets (three per window) starting at `first`.
std::optional<UsageWindow> windowAt(const QSqlQuery& row, int first)
{
    if (row.isNull(first))
        return std::nullopt;
    UsageWindow w{row.value(first).toLongLong(), std::nullopt, std::nullopt};
    if (!row.isNull(first + 1))
        w.durationMinutes = row.value(first + 1).toLongLong();
    if (!row.isNull(first + 2))
        w.resetsAt = row.value(first + 2).toDouble();
    return w;
}

constexpr auto columns = "at_ms, five_used, five_minutes, five_resets, week_used, week_minutes, week_resets";

// The columns above, starting at `first`.
UsageSnapshot snapshotAt(const QSqlQuery& row, int first)
{
    return UsageSnapshot{windowAt(row, first + 1), windowAt(row, first + 4), row.value(first).toLongLong() / 1000.0};
}

// The buckets worth a row: the codex bucket has its own, and an id is kept once.
std::vector<LimitBucket> storable(const std::vector<LimitBucket>& buckets)
{
    std::vector<LimitBucket> out;
    for (const LimitBucket& b : buckets) {
        if (b.id.isEmpty() || b.id == QLatin1String(HistoryStore::codexLimitId))
            continue;
        if (std::none_of(out.begin(), out.end(), [&b](const LimitBucket& o) { return o.id == b.id; }))
            out.push_back(b);
    }
    return out;
}

} // namespace

QString HistoryStore::defaultPath()
{
    const QString folder = stateFolder();
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/history.sqlite3");
}

HistoryStore::HistoryStore(QString path, Access access)
    : path_(std::move(path))
    , access_(access)
{
    static QAtomicInteger<quint64> next;
    connection_ = QStringLiteral("tallyglass-history-%1").arg(next.fetchAndAddRelaxed(1));
}

HistoryStore::~HistoryStore()
{
    close();
}

void HistoryStore::close()
{
    if (QSqlDatabase::contains(connection_)) {
        QSqlDatabase::database(connection_, false).close();
        QSqlDatabase::removeDatabase(connection_);
    }
    open_ = false;
}

HistoryStore::Opened HistoryStore::open()
{
    if (open_)
        return Opened::yes;
    if (path_.isEmpty())
        return Opened::no;
    // Nothing but a regular file is handed to SQLite: a FIFO or a device would block its open().
    if (access_ == Access::readOnly) {
        const storefile::Kind kind = storefile::kindOf(path_);
        if (kind != storefile::Kind::regular)
            return kind == storefile::Kind::missing ? Opened::missing : Opened::no;
    } else if (!storefile::makePrivateFolder(QFileInfo(path_).absolutePath()) || !storefile::makePrivateFile(path_)) {
        return Opened::no;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
            QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs);
            if (access_ == Access::readOnly) {
                // Read-write but never created ("mode=rw"), and only read: unlike a read-only
                // connection, the last one to close removes the -wal and -shm as usual.
                QUrl url = QUrl::fromLocalFile(path_);
                url.setQuery(QStringLiteral("mode=rw"));
                db.setDatabaseName(url.toString(QUrl::FullyEncoded));
                options += QStringLiteral(";QSQLITE_OPEN_URI");
            } else {
                db.setDatabaseName(path_);
            }
            db.setConnectOptions(options);
            int code = -1;
            open_ = db.open() ? prepareSchema(&code) : (code = sqliteCode(db.lastError()), false);
            if (open_)
                return Opened::yes;
            const bool damaged = code == sqliteCorrupt || code == sqliteNotADatabase ||
                (code == sqliteCantOpen && QFileInfo::exists(path_) && !QFileInfo(path_).isReadable());
            if (!damaged || access_ == Access::readOnly)
                break;
        }
        if (!moveAside() || !storefile::makePrivateFile(path_))
            break;
    }
    close();
    return Opened::no;
}

bool HistoryStore::prepareSchema(int* code)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    // The first statement reads the file, so a damaged one shows here.
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        *code = sqliteCode(q.lastError());
        return false;
    }
    version_ = q.value(0).toInt();
    if (access_ == Access::readOnly || version_ > schemaVersion)
        return true;
    // WAL lets the history window read while another process writes.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next() ||
        !q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))) {
        *code = sqliteCode(q.lastError());
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
        *code = sqliteCode(q.lastError());
        return false;
    }
    // Another process may have migrated while this one waited for the lock.
    bool ok = run("PRAGMA user_version") && q.next();
    const int version = ok ? q.value(0).toInt() : 0;
    ok = ok && run("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'readings'") && q.next();
    const bool unversioned = ok && version == 0 && q.value(0).toInt() > 0;
    if (ok && version == 0) {
        // One row per bucket of a reading; the rows of one reading share its number, so
        // readings of the same millisecond stay apart. A window that was absent has NULL
        // in all three of its columns; limit_name is NULL where it is the id.
        ok = (!unversioned || run("ALTER TABLE readings RENAME TO readings_unversioned")) &&
            run("CREATE TABLE readings ("
                "reading INTEGER NOT NULL, at_ms INTEGER NOT NULL, limit_id TEXT NOT NULL, limit_name TEXT,"
                " five_used INTEGER, five_minutes INTEGER, five_resets REAL,"
                " week_used INTEGER, week_minutes INTEGER, week_resets REAL,"
                " PRIMARY KEY (reading, limit_id))") &&
            run("CREATE INDEX readings_at ON readings (at_ms)") &&
            (!unversioned ||
             (run("INSERT INTO readings SELECT row_number() OVER (ORDER BY at_ms), at_ms, 'codex', NULL,"
                  " five_used, five_minutes, five_resets, week_used, week_minutes, week_resets"
                  " FROM readings_unversioned") &&
              run("DROP TABLE readings_unversioned"))) &&
            run("PRAGMA user_version = 1");
    }
    static_assert(schemaVersion == 1, "add the step from the previous version above");
    ok = ok && run("COMMIT");
    if (!ok) {
        *code = sqliteCode(q.lastError());
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    version_ = std::max(version, schemaVersion);
    return true;
}

bool HistoryStore::moveAside()
{
    close();
    return storefile::moveAside(path_,
                                QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmsszzz")));
}

HistoryStore::Result HistoryStore::record(const UsageSnapshot& snapshot, const std::vector<LimitBucket>& otherLimits)
{
    if (!std::isfinite(snapshot.receivedAt) || access_ == Access::readOnly)
        return Result::failed;
    if (snapshot.receivedAt - lastPrune_ > 86400 && prune(snapshot.receivedAt))
        lastPrune_ = snapshot.receivedAt;
    const std::vector<LimitBucket> buckets = storable(otherLimits);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (open() != Opened::yes || version_ > schemaVersion)
            return Result::failed;
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        std::optional<Result> result;
        int code = 0;
        {
            QSqlQuery q(db);
            // IMMEDIATE takes the write lock before the look at the last reading, so two
            // processes recording the same reading store it once.
            if (q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
                const qint64 at = toMs(snapshot.receivedAt);
                q.prepare(QStringLiteral("SELECT reading, %1 FROM readings WHERE limit_id = ? AND at_ms <= ?"
                                         " ORDER BY at_ms DESC, reading DESC LIMIT 1")
                              .arg(QLatin1String(columns)));
                q.addBindValue(QLatin1String(codexLimitId));
                q.addBindValue(at);
                bool ok = q.exec();
                if (ok && q.next()) {
                    const UsageSnapshot last = snapshotAt(q, 1);
                    if (last.fiveHour == snapshot.fiveHour && last.week == snapshot.week &&
                        snapshot.receivedAt - last.receivedAt < repeatSeconds) {
                        const std::optional<std::vector<StoredReading>> before =
                            select(QStringLiteral("reading = %1").arg(q.value(0).toLongLong()), -qInf());
                        ok = before && before->size() == 1;
                        if (ok && before->front().otherLimits == buckets)
                            result = Result::skipped;
                    }
                }
                qint64 reading = 0;
                if (ok && !result)
                    ok = q.exec(QStringLiteral("SELECT coalesce(max(reading), 0) + 1 FROM readings")) && q.next() &&
                        (reading = q.value(0).toLongLong()) > 0;
                const auto insert = [&](const QString& id, const QString& name, const std::optional<UsageWindow>& five,
                                        const std::optional<UsageWindow>& week) {
                    q.prepare(QStringLiteral("INSERT INTO readings VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
                    q.addBindValue(reading);
                    q.addBindValue(at);
                    q.addBindValue(id);
                    q.addBindValue(name == id ? QVariant(QMetaType(QMetaType::QString)) : QVariant(name));
                    for (const std::optional<UsageWindow>& w : {five, week}) {
                        q.addBindValue(w ? QVariant(qint64(w->usedPercent)) : QVariant(QMetaType(QMetaType::LongLong)));
                        q.addBindValue(w ? nullable(w->durationMinutes) : QVariant(QMetaType(QMetaType::LongLong)));
                        q.addBindValue(w ? nullable(w->resetsAt) : QVariant(QMetaType(QMetaType::Double)));
                    }
                    return q.exec() && q.numRowsAffected() == 1;
                };
                if (ok && !result) {
                    const QString codex = QLatin1String(codexLimitId);
                    ok = insert(codex, codex, snapshot.fiveHour, snapshot.week);
                    for (const LimitBucket& b : buckets)
                        ok = ok && insert(b.id, b.name, b.fiveHour, b.week);
                    if (ok)
                        result = Result::stored;
                }
                if (ok)
                    ok = q.exec(QStringLiteral("COMMIT"));
                if (!ok) {
                    code = sqliteCode(q.lastError());
                    // A full disk rolls back this reading alone; the ones before it stay.
                    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
                    result.reset();
                }
            } else {
                code = sqliteCode(q.lastError());
            }
        }
        if (result)
            return *result;
        if (code != sqliteCorrupt && code != sqliteNotADatabase)
            return Result::failed;
        if (!moveAside())
            return Result::failed;
    }
    return Result::failed;
}

// The rows at or after `since` matching `where` (over the columns of the current layout),
// one StoredReading per reading. A file without the table yet holds no readings.
std::optional<std::vector<StoredReading>> HistoryStore::select(const QString& where, double since)
{
    std::vector<StoredReading> out;
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'readings'")) ||
        !q.next())
        return std::nullopt;
    if (q.value(0).toInt() == 0)
        return out;
    // A file read before its migration has one row per reading, of the codex bucket.
    const QString identity = version_ == 0 ? QStringLiteral("at_ms, '%1', NULL").arg(QLatin1String(codexLimitId))
                                           : QStringLiteral("reading, limit_id, limit_name");
    q.prepare(QStringLiteral("SELECT %1, %2 FROM readings WHERE at_ms >= ?%3 ORDER BY at_ms, 1, rowid")
                  .arg(identity, QLatin1String(columns), where.isEmpty() ? QString() : QStringLiteral(" AND ") + where));
    q.addBindValue(std::isfinite(since) ? toMs(since) : std::numeric_limits<qint64>::min());
    if (!q.exec())
        return std::nullopt;
    std::optional<qint64> current;
    while (q.next()) {
        const qint64 reading = q.value(0).toLongLong();
        const QString id = q.value(1).toString();
        const UsageSnapshot windows = snapshotAt(q, 3);
        if (reading != current) {
            current = reading;
            out.push_back(StoredReading{UsageSnapshot{std::nullopt, std::nullopt, windows.receivedAt}, {}});
        }
        if (id == QLatin1String(codexLimitId)) {
            out.back().snapshot = windows;
        } else {
            const QString name = q.isNull(2) ? id : q.value(2).toString();
            out.back().otherLimits.push_back(LimitBucket{id, name, windows.fiveHour, windows.week});
        }
    }
    return out;
}

std::vector<UsageSnapshot> HistoryStore::readings(double since)
{
    std::vector<UsageSnapshot> out;
    if (open() != Opened::yes)
        return out;
    const std::optional<std::vector<StoredReading>> stored =
        select(version_ == 0 ? QString() : QStringLiteral("limit_id = '%1'").arg(QLatin1String(codexLimitId)), since);
    if (stored) {
        out.reserve(stored->size());
        for (const StoredReading& r : *stored)
            out.push_back(r.snapshot);
    }
    return out;
}

std::optional<std::vector<StoredReading>> HistoryStore::storedReadings(double since)
{
    switch (open()) {
    case Opened::yes:
        return select(QString(), since);
    case Opened::missing:
        return std::vector<StoredReading>{};
    case Opened::no:
        break;
    }
    return std::nullopt;
}

bool HistoryStore::prune(double now)
{
    if (access_ == Access::readOnly || open() != Opened::yes || version_ > schemaVersion)
        return false;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("DELETE FROM readings WHERE at_ms < ?"));
    q.addBindValue(toMs(now - keepSeconds));
    return q.exec();
}

} // namespace tallyglass
