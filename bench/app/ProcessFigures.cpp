#include "bench/app/ProcessFigures.h"

#include <QDir>
#include <QFile>

#include <malloc.h>

namespace tallyglass {

namespace {

QByteArray readProcFile(const QString& path)
{
    // /proc files report size 0; read until end of file.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The number after "key:" in a /proc status text, or -1.
long long statusField(const QByteArray& status, const QByteArray& key)
{
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith(key + ':')) {
            bool ok = false;
            const long long value = line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong(&ok);
            return ok ? value : -1;
        }
    }
    return -1;
}

} // namespace

long long ProcessFigures::residentKb()
{
    return statusField(readProcFile(QStringLiteral("/proc/self/status")), "VmRSS");
}

long long ProcessFigures::peakResidentKb()
{
    return statusField(readProcFile(QStringLiteral("/proc/self/status")), "VmHWM");
}

long long ProcessFigures::heapInUseKb()
{
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long long>((info.uordblks + info.hblkhd) / 1024);
}

std::vector<ProcessFigures::ThreadSwitches> ProcessFigures::threadSwitches()
{
    std::vector<ThreadSwitches> result;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString base = tasks.filePath(tid);
        const QByteArray status = readProcFile(base + QStringLiteral("/status"));
        if (status.isEmpty())
            continue; // the thread ended meanwhile
        ThreadSwitches thread;
        thread.tid = tid.toLongLong();
        thread.name = QString::fromUtf8(readProcFile(base + QStringLiteral("/comm")).trimmed());
        thread.voluntary = statusField(status, "voluntary_ctxt_switches");
        thread.involuntary = statusField(status, "nonvoluntary_ctxt_switches");
        result.push_back(thread);
    }
    return result;
}

} // namespace tallyglass
