#include "history/HistoryRecorder.h"

#include "history/HistoryStore.h"

#include <QMetaObject>
#include <QPointer>

namespace tallyglass {

HistoryRecorder::HistoryRecorder(const QString& path)
    : worker_(new QObject)
{
    thread_.setObjectName(QStringLiteral("history"));
    worker_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.start(QThread::LowPriority);
    QMetaObject::invokeMethod(worker_, [this, path] { store_ = new HistoryStore(path); }, Qt::QueuedConnection);
}

HistoryRecorder::~HistoryRecorder()
{
    // Queued after every pending write; the connection is closed on the thread that opened it.
    QMetaObject::invokeMethod(worker_, [this] {
        delete store_;
        store_ = nullptr;
    }, Qt::QueuedConnection);
    thread_.quit();
    thread_.wait();
}

void HistoryRecorder::record(const UsageSnapshot& snapshot, const std::vector<LimitBucket>& otherLimits)
{
    QMetaObject::invokeMethod(worker_, [this, snapshot, otherLimits] { store_->record(snapshot, otherLimits); },
                              Qt::QueuedConnection);
}

void HistoryRecorder::load(double since, std::function<void(std::vector<UsageSnapshot>)> done)
{
    QPointer<QObject> receiver(&receiver_);
    QMetaObject::invokeMethod(worker_, [this, since, receiver, done = std::move(done)]() mutable {
        std::vector<UsageSnapshot> readings = store_->readings(since);
        if (receiver)
            QMetaObject::invokeMethod(receiver, [readings = std::move(readings), done = std::move(done)] {
                done(readings);
            }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

} // namespace tallyglass
