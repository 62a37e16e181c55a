#include "client/CodexAppServerClient.h"

#include "client/ClientCore.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <csignal>

namespace tallyglass {

class QThreadHolder {
public:
    QThread thread;
};

namespace {

double systemNow()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

} // namespace

CodexAppServerClient::CodexAppServerClient(std::optional<QString> executable, double requestTimeout,
                                           double recoveryCooldown)
    : CodexAppServerClient(std::move(executable), requestTimeout, recoveryCooldown, systemNow)
{
}

CodexAppServerClient::CodexAppServerClient(std::optional<QString> executable, double requestTimeout,
                                           double recoveryCooldown, WallClock wallClock)
    : thread_(std::make_unique<QThreadHolder>())
{
    // A write to a child that has gone must fail with EPIPE, not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    deliverer_ = new ClientDeliverer(this);
    if (auto* app = QCoreApplication::instance())
        deliverer_->moveToThread(app->thread());

    core_ = new ClientCore(deliverer_, std::move(executable), requestTimeout, recoveryCooldown,
                           wallClock ? std::move(wallClock) : WallClock(systemNow));
    thread_->thread.setObjectName(QStringLiteral("com.brightfen.tallyglass.appserver"));
    core_->moveToThread(&thread_->thread);
    thread_->thread.start();
}

CodexAppServerClient::~CodexAppServerClient()
{
    // Unlike a bare release, destruction also ends the child: an orphaned
    // codex would outlive the program for nothing.
    stop();
    QMetaObject::invokeMethod(core_, [core = core_] { delete core; }, Qt::BlockingQueuedConnection);
    thread_->thread.quit();
    thread_->thread.wait();

    deliverer_->detach();
    if (deliverer_->thread() == QThread::currentThread())
        delete deliverer_; // drops every delivery still queued
    else
        deliverer_->deleteLater();
}

void CodexAppServerClient::start()
{
    QMetaObject::invokeMethod(core_, [core = core_] { core->startLocked(); }, Qt::QueuedConnection);
}

void CodexAppServerClient::refresh()
{
    QMetaObject::invokeMethod(core_, [core = core_] { core->refreshLocked(); }, Qt::QueuedConnection);
}

void CodexAppServerClient::stop()
{
    if (QThread::currentThread() == &thread_->thread) {
        core_->disconnectLocked();
        return;
    }
    QMetaObject::invokeMethod(core_, [core = core_] { core->disconnectLocked(); }, Qt::BlockingQueuedConnection);
}

} // namespace tallyglass
