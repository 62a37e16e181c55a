#include "history/HistoryStore.h"
#include "history/StateFolder.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>
#include <cmath>
#include <limits>
#include <optional>

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

UsageSnapshot snapshotAt(const QSqlQuery& row)
{
    return UsageSnapshot{windowAt(row, 1), windowAt(row, 4), row.value(0).toLongLong() / 1000.0};
}

} // namespace

QString HistoryStore::defaultPath()
{
    return stateFolder() + QStringLiteral("/history.sqlite3");
}

HistoryStore::HistoryStore(QString path)
    : path_(std::move(path))
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

bool HistoryStore::open()
{
    if (open_)
        return true;
    if (!QDir().mkpath(QFileInfo(path_).absolutePath()))
        return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
            db.setDatabaseName(path_);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
            int code = -1;
            open_ = db.open() ? prepareSchema(&code) : (code = sqliteCode(db.lastError()), false);
            if (open_)
                return true;
            const bool damaged = code == sqliteCorrupt || code == sqliteNotADatabase ||
                (code == sqliteCantOpen && QFileInfo::exists(path_) && !QFileInfo(path_).isReadable());
            if (!damaged)
                break;
        }
        if (!moveAside())
            break;
    }
    close();
    return false;
}

bool HistoryStore::prepareSchema(int* code)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    const auto failed = [&] {
        *code = sqliteCode(q.lastError());
        return false;
    };
    // The first statement reads the file, so a damaged one shows here. WAL lets the
    // history window read while another process writes.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next())
        return failed();
    if (!q.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
        return failed();
    // One row per reading; its time in milliseconds is the row id, so there is no
    // second index to keep. A window that was absent has NULL in all three columns.
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS readings ("
                               "at_ms INTEGER PRIMARY KEY,"
                               " five_used INTEGER, five_minutes INTEGER, five_resets REAL,"
                               " week_used INTEGER, week_minutes INTEGER, week_resets REAL)")))
        return failed();
    // A table of another shape is as unusable as a damaged file.
    if (!q.exec(QStringLiteral("SELECT %1 FROM readings LIMIT 0").arg(QLatin1String(columns)))) {
        failed();
        if (*code == 1) // SQLITE_ERROR: no such column
            *code = sqliteCorrupt;
        return false;
    }
    return true;
}

bool HistoryStore::moveAside()
{
    close();
    const QString suffix =
        QStringLiteral(".damaged-") + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmsszzz"));
    // The write-ahead log belongs to the damaged file; it goes along with it.
    for (const QString& extra : {QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        if (QFile::exists(path_ + extra))
            QFile::rename(path_ + extra, path_ + suffix + extra);
    }
    return QFile::rename(path_, path_ + suffix);
}

HistoryStore::Result HistoryStore::record(const UsageSnapshot& snapshot)
{
    if (!std::isfinite(snapshot.receivedAt))
        return Result::failed;
    if (snapshot.receivedAt - lastPrune_ > 86400 && prune(snapshot.receivedAt))
        lastPrune_ = snapshot.receivedAt;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!open())
            return Result::failed;
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        std::optional<Result> result;
        int code = 0;
        {
            QSqlQuery q(db);
            // IMMEDIATE takes the write lock before the look at the last row, so two
            // processes recording the same reading store it once.
            if (q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
                const qint64 at = toMs(snapshot.receivedAt);
                q.prepare(QStringLiteral("SELECT %1 FROM readings WHERE at_ms <= ? ORDER BY at_ms DESC LIMIT 1")
                              .arg(QLatin1String(columns)));
                q.addBindValue(at);
                bool ok = q.exec();
                if (ok && q.next()) {
                    const UsageSnapshot last = snapshotAt(q);
                    if (last.fiveHour == snapshot.fiveHour && last.week == snapshot.week &&
                        snapshot.receivedAt - last.receivedAt < repeatSeconds)
                        result = Result::skipped;
                }
                if (ok && !result) {
                    q.prepare(QStringLiteral("INSERT OR IGNORE INTO readings VALUES (?, ?, ?, ?, ?, ?, ?)"));
                    q.addBindValue(at);
                    for (const std::optional<UsageWindow>& w : {snapshot.fiveHour, snapshot.week}) {
                        q.addBindValue(w ? QVariant(qint64(w->usedPercent)) : QVariant(QMetaType(QMetaType::LongLong)));
                        q.addBindValue(w ? nullable(w->durationMinutes) : QVariant(QMetaType(QMetaType::LongLong)));
                        q.addBindValue(w ? nullable(w->resetsAt) : QVariant(QMetaType(QMetaType::Double)));
                    }
                    ok = q.exec();
                    if (ok)
                        result = Result::stored;
                }
                if (ok)
                    ok = q.exec(QStringLiteral("COMMIT"));
                if (!ok) {
                    code = sqliteCode(q.lastError());
                    // A full disk rolls back this row alone; the rows before it stay.
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

std::vector<UsageSnapshot> HistoryStore::readings(double since)
{
    std::vector<UsageSnapshot> out;
    if (!open())
        return out;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM readings WHERE at_ms >= ? ORDER BY at_ms").arg(QLatin1String(columns)));
    q.addBindValue(std::isfinite(since) ? toMs(since) : std::numeric_limits<qint64>::min());
    if (!q.exec())
        return out;
    while (q.next())
        out.push_back(snapshotAt(q));
    return out;
}

bool HistoryStore::prune(double now)
{
    if (!open())
        return false;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("DELETE FROM readings WHERE at_ms < ?"));
    q.addBindValue(toMs(now - keepSeconds));
    return q.exec();
}

} // namespace tallyglass
