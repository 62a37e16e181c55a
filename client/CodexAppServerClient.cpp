#include "client/CodexAppServerClient.h"

#include "ChildConnection.h"
#include "DeliveryMailbox.h"
#include "ReadingCycle.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <chrono>
#include <csignal>
#include <pthread.h>

namespace tallyglass {

namespace {

double systemNow()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// A write to a child that has gone fails with EPIPE on this thread instead of ending
// the program; the process-wide disposition is left to the program.
void blockSigpipeOnThisThread()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

} // namespace

struct CodexAppServerClient::Work {
    QThread thread;
    QObject context;       // lives on `thread`: queued calls to the cycle run there
    DeliveryMailbox mailbox;
    std::unique_ptr<ReadingCycle> cycle; // used and deleted on `thread` only
};

CodexAppServerClient::CodexAppServerClient(std::optional<QString> executable, double requestTimeout,
                                           double recoveryCooldown)
    : CodexAppServerClient(std::move(executable), requestTimeout, recoveryCooldown, systemNow)
{
}

CodexAppServerClient::CodexAppServerClient(std::optional<QString> executable, double requestTimeout,
                                           double recoveryCooldown, WallClock wallClock)
    : work_(std::make_unique<Work>())
{
    if (auto* app = QCoreApplication::instance(); app && thread() != app->thread())
        moveToThread(app->thread());

    // onStatus and onSnapshot hear first; a copy of the callback keeps running even when
    // it replaces itself, and Qt stops the emission if it destroys the client.
    connect(this, &CodexAppServerClient::statusChanged, this, [this](const std::optional<ClientStatus>& status) {
        if (const auto callback = onStatus)
            callback(status ? std::optional<QString>(status->text) : std::nullopt);
    });
    connect(this, &CodexAppServerClient::snapshotPublished, this, [this](const UsageSnapshot& snapshot) {
        if (const auto callback = onSnapshot)
            callback(snapshot);
    });

    ReadingCycle::Outputs outputs {
        [this](const ClientStatus& status) {
            if (work_->mailbox.putStatus(status))
                QMetaObject::invokeMethod(this, &CodexAppServerClient::deliverNext, Qt::QueuedConnection);
        },
        [this](const PublishedReading& reading) {
            if (work_->mailbox.putReading(reading))
                QMetaObject::invokeMethod(this, &CodexAppServerClient::deliverNext, Qt::QueuedConnection);
        },
    };
    ReadingCycle::Settings settings {std::move(executable), requestTimeout, recoveryCooldown};
    ReadingCycle::Launcher launcher = [](const QString& path, AppServerConnection::Events events,
                                         double timeout) -> std::variant<AppServerConnection*, int> {
        auto launched = ChildConnection::launch(path, std::move(events), timeout);
        if (const int* error = std::get_if<int>(&launched))
            return *error;
        return std::get<ChildConnection*>(launched);
    };
    work_->cycle = std::make_unique<ReadingCycle>(std::move(settings), std::move(outputs),
                                                  wallClock ? std::move(wallClock) : WallClock(systemNow),
                                                  std::move(launcher));

    work_->thread.setObjectName(QStringLiteral("com.brightfen.tallyglass.appserver"));
    connect(&work_->thread, &QThread::started, &work_->thread, blockSigpipeOnThisThread, Qt::DirectConnection);
    work_->context.moveToThread(&work_->thread);
    work_->thread.start();
}

CodexAppServerClient::~CodexAppServerClient()
{
    // Unlike a bare release, destruction also ends the child: an orphaned codex would
    // outlive the program for nothing.
    QMetaObject::invokeMethod(&work_->context, [this] { work_->cycle.reset(); }, Qt::BlockingQueuedConnection);
    work_->thread.quit();
    work_->thread.wait();
}

void CodexAppServerClient::start()
{
    QMetaObject::invokeMethod(&work_->context, [cycle = work_->cycle.get()] { cycle->startLocked(); },
                              Qt::QueuedConnection);
}

void CodexAppServerClient::refresh()
{
    QMetaObject::invokeMethod(&work_->context, [cycle = work_->cycle.get()] { cycle->refreshLocked(); },
                              Qt::QueuedConnection);
}

void CodexAppServerClient::stop()
{
    QMetaObject::invokeMethod(&work_->context, [cycle = work_->cycle.get()] { cycle->disconnectLocked(); },
                              Qt::BlockingQueuedConnection);
}

void CodexAppServerClient::useResetCredit(const QString& keyFile, const std::optional<QString>& creditId)
{
    QMetaObject::invokeMethod(
        &work_->context,
        [cycle = work_->cycle.get(), keyFile, creditId] { cycle->useResetCreditLocked(keyFile, creditId); },
        Qt::QueuedConnection);
}

void CodexAppServerClient::deliverNext()
{
    bool more = false;
    std::optional<DeliveryMailbox::Delivery> delivery = work_->mailbox.take(&more);
    if (!delivery)
        return;
    // One delivery per event: the next is queued to this object, so if the receiver
    // destroys the client, Qt drops the rest with it.
    if (more)
        QMetaObject::invokeMethod(this, &CodexAppServerClient::deliverNext, Qt::QueuedConnection);
    if (const auto* status = std::get_if<DeliveryMailbox::StatusDelivery>(&*delivery)) {
        emit statusChanged(*status);
        return;
    }
    const auto& reading = std::get<PublishedReading>(*delivery);
    const QPointer<CodexAppServerClient> alive(this);
    emit allowancePublished(reading.allowance);
    if (alive) // a receiver may have destroyed the client
        emit snapshotPublished(reading.snapshot);
}

} // namespace tallyglass
