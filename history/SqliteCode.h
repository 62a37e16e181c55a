#pragma once
// SQLite's result codes as Qt SQL reports them. Any thread.

#include <QSqlError>
#include <QString>

namespace tallyglass::sqlite {

// Primary result codes that mean the file is not a usable database.
constexpr int corrupt = 11;
constexpr int notADatabase = 26;
constexpr int cantOpen = 14;

// The primary result code of `error`, or -1 when it has none.
inline int code(const QSqlError& error)
{
    bool ok = false;
    const int value = error.nativeErrorCode().toInt(&ok);
    return ok ? value & 0xff : -1;
}

} // namespace tallyglass::sqlite
