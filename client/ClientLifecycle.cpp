// Launching and stopping the child, the exit of a child, and deliveries to the main thread.

#include "client/ClientCore.h"
#include "client/CodexLocator.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace tallyglass {

namespace {

const QByteArray kPathPrefix = QByteArrayLiteral("PATH=");

// The executable as an absolute path; symbolic links are deliberately not resolved.
QString absoluteWithoutResolving(const QString& path)
{
    if (QDir::isAbsolutePath(path))
        return path;
    return QDir::currentPath() + QLatin1Char('/') + path;
}

// The directory of the executable, then the usual install places, then our own PATH.
QByteArray childPathValue(const QString& absoluteExecutable, const std::optional<QByteArray>& ownPath)
{
    const qsizetype slash = absoluteExecutable.lastIndexOf(QLatin1Char('/'));
    const QString directory = slash > 0 ? absoluteExecutable.left(slash) : QStringLiteral("/");
    return directory.toLocal8Bit() + ":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:" + ownPath.value_or(QByteArray());
}

QByteArrayList childEnvironment(const QString& absoluteExecutable)
{
    QByteArrayList env;
    std::optional<QByteArray> ownPath;
    for (char** e = environ; e && *e; ++e) {
        const QByteArray entry(*e);
        if (entry.startsWith(kPathPrefix)) {
            if (!ownPath)
                ownPath = entry.mid(kPathPrefix.size());
            continue;
        }
        env << entry;
    }
    env << kPathPrefix + childPathValue(absoluteExecutable, ownPath);
    return env;
}

// Stops a watcher at once and deletes it later: it may be the very object whose
// signal is being handled further up the stack.
template <typename T>
void retire(T*& watcher)
{
    if (!watcher)
        return;
    if (auto* notifier = qobject_cast<QSocketNotifier*>(watcher))
        notifier->setEnabled(false);
    else if (auto* timer = qobject_cast<QTimer*>(watcher))
        timer->stop();
    watcher->deleteLater();
    watcher = nullptr;
}

} // namespace

ClientCore::ClientCore(ClientDeliverer* deliverer, std::optional<QString> executable, double requestTimeout,
                       double recoveryCooldown, CodexAppServerClient::WallClock wallClock)
    : deliverer_(deliverer)
    , executableOverride(std::move(executable))
    , requestTimeout(requestTimeout)
    , recoveryCooldown(recoveryCooldown)
    , wallClock_(std::move(wallClock))
{
}

ClientCore::~ClientCore() = default;

void ClientCore::refreshLocked()
{
    if (refreshing)
        return;
    retried = false;
    if (!processRunning())
        startLocked();
    else if (initialized)
        requestAccountLocked();
    else
        wantsRefresh = true;
}

bool ClientCore::processRunning()
{
    return process && process->isRunning();
}

void ClientCore::startLocked()
{
    if (processRunning()) {
        if (initialized && !refreshing)
            requestAccountLocked();
        return;
    }
    disconnectLocked();
    refreshing = true;
    firstAccountForConnection = true;

    const std::optional<QString> executable = executableOverride ? executableOverride : CodexLocator::find();
    if (!executable) {
        refreshing = false;
        publishStatus(QStringLiteral("Codex CLI를 찾을 수 없음"));
        return;
    }

    const QUuid connection = connectionID;
    const QString absolute = absoluteWithoutResolving(*executable);
    SpawnRequest request {absolute, {QStringLiteral("app-server")}, CodexLocator::homeDirectory(),
                          childEnvironment(absolute)};
    auto spawned = ChildProcess::spawn(request);
    if (const int* error = std::get_if<int>(&spawned)) {
        const QString text = QStringLiteral("Codex 실행 실패 (%1)").arg(*error);
        disconnectLocked();
        publishStatus(text);
        return;
    }

    process = std::move(std::get<std::unique_ptr<ChildProcess>>(spawned));
    installHandlers(connection);
    initialized = false;
    wantsRefresh = true;
    publishStatus(QStringLiteral("사용량 불러오는 중…"));

    const std::int64_t id = takeRequestID();
    initializeRequestID = id;
    const QJsonObject params {
        {QStringLiteral("clientInfo"), QJsonObject {{QStringLiteral("name"), QStringLiteral("tallyglass")},
                                                    {QStringLiteral("title"), QStringLiteral("Tallyglass")},
                                                    {QStringLiteral("version"), QStringLiteral("1.0.2")}}},
        {QStringLiteral("capabilities"), QJsonObject {{QStringLiteral("experimentalApi"), false}}},
    };
    sendLocked(id, QStringLiteral("initialize"), params);
    // A failed send has already ended the connection; its check would find nothing to do.
    if (connection == connectionID)
        initializeTimeout_.arm(requestTimeout, [this, connection, id] { initializeTimeoutLocked(connection, id); });
}

void ClientCore::installHandlers(const QUuid& connection)
{
    outputNotifier_ = new QSocketNotifier(process->stdoutFd(), QSocketNotifier::Read, this);
    connect(outputNotifier_, &QSocketNotifier::activated, this,
            [this, connection] { outputReadableLocked(connection); });
    errorNotifier_ = new QSocketNotifier(process->stderrFd(), QSocketNotifier::Read, this);
    connect(errorNotifier_, &QSocketNotifier::activated, this,
            [this, connection] { errorReadableLocked(connection); });

    terminationHandlerInstalled_ = true;
    if (process->exitFd() >= 0) {
        auto* notifier = new QSocketNotifier(process->exitFd(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, connection, notifier] {
            notifier->setEnabled(false);
            childExitedLocked(connection);
        });
        exitWatcher_ = notifier;
    } else {
        // Without pidfd support, look for the exit a few times a second.
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, connection, timer] {
            if (process && !process->isRunning()) {
                timer->stop();
                childExitedLocked(connection);
            }
        });
        timer->start(100);
        exitWatcher_ = timer;
    }
}

void ClientCore::removeHandlers()
{
    retire(outputNotifier_);
    retire(errorNotifier_);
    terminationHandlerInstalled_ = false;
}

void ClientCore::childExitedLocked(const QUuid& connection)
{
    if (!process)
        return;
    process->isRunning(); // reaps
    if (connection != connectionID || !terminationHandlerInstalled_) {
        // A child left running by disconnectLocked has now been reaped.
        if (!processRunning() && !outputNotifier_)
            retire(exitWatcher_);
        return;
    }
    // Take in what the child wrote before it went, so the last answers are
    // handled and the whole tail of its standard error is searched.
    outputReadableLocked(connection);
    if (connection != connectionID)
        return;
    errorReadableLocked(connection);
    if (connection != connectionID)
        return;
    handleTerminationLocked(connection);
}

void ClientCore::handleTerminationLocked(const QUuid& connection)
{
    if (connection != connectionID)
        return;
    const QString errors = QString::fromUtf8(errorBuffer).toLower();
    QString detail = QStringLiteral("종료 코드 %1").arg(process->terminationStatus().value_or(-1));
    if (errors.contains(QLatin1String("unexpected argument")))
        detail += QStringLiteral(", 실행 옵션 오류");
    else if (errors.contains(QLatin1String("config")))
        detail += QStringLiteral(", Codex 설정 확인 필요");
    else if (errors.contains(QLatin1String("permission denied")))
        detail += QStringLiteral(", 파일 접근 거부");
    const QString text = QStringLiteral("Codex 연결 종료 (%1)").arg(detail);
    disconnectLocked();
    publishStatus(text);
}

void ClientCore::disconnectLocked()
{
    connectionID = QUuid::createUuid();
    if (process)
        removeHandlers();
    if (process)
        process->closeInput();
    if (processRunning()) {
        process->terminate();
        if (!process->waitForExit(1.0)) {
            process->kill();
            process->waitForExit(1.0);
        }
    }
    if (!processRunning()) {
        retire(exitWatcher_);
        process.reset();
    }
    // A child still running stays in `process`; its exit watcher keeps going
    // so that it is reaped once it exits.
    initialized = false;
    wantsRefresh = false;
    initializeRequestID.reset();
    usageRequestIDs.clear();
    accountRequestID.reset();
    pendingSnapshot.reset();
    refreshing = false;
    outputBuffer.clear();
    errorBuffer.clear();
    initializeTimeout_.cancel();
    accountTimeout_.cancel();
    usageTimeout_.cancel();
}

void ClientCore::publishStatus(const QString& text)
{
    QMetaObject::invokeMethod(
        deliverer_,
        [deliverer = deliverer_, text] {
            if (const auto onStatus = deliverer->statusCallback())
                onStatus(text);
        },
        Qt::QueuedConnection);
}

void ClientCore::publish(const UsageSnapshot& snapshot)
{
    QMetaObject::invokeMethod(
        deliverer_,
        [deliverer = deliverer_, snapshot] {
            // The owner may destroy the client, and with it the deliverer, while
            // the status clears; the snapshot then goes nowhere.
            const QPointer<ClientDeliverer> alive(deliverer);
            if (const auto onStatus = deliverer->statusCallback())
                onStatus(std::nullopt);
            if (!alive)
                return;
            if (const auto onSnapshot = deliverer->snapshotCallback())
                onSnapshot(snapshot);
        },
        Qt::QueuedConnection);
}

TimeoutCheck::TimeoutCheck(QObject* owner)
    : timer_(new QTimer(owner))
{
    // Single-shot timers count on the monotonic clock; the timer dies with the
    // client, so a check never runs once the client is gone.
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_, &QTimer::timeout, timer_, [this] {
        if (auto check = std::exchange(check_, nullptr))
            check();
    });
}

void TimeoutCheck::arm(double seconds, std::function<void()> check)
{
    const double ms = std::clamp(seconds * 1000.0, 0.0, double(std::numeric_limits<int>::max()));
    check_ = std::move(check);
    timer_->start(int(std::llround(ms)));
}

void TimeoutCheck::cancel()
{
    timer_->stop();
    check_ = nullptr;
}

} // namespace tallyglass
