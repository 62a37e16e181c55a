#include "platform/UnixSignalPipe.h"

#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyglass {
namespace {

volatile sig_atomic_t pipeWriteFd = -1;
bool instanceExists = false;
struct sigaction previousActions[NSIG];

// The forced exit: armed by setForcedExit, started by the first signal.
volatile sig_atomic_t forcedExitArmed = 0;
volatile sig_atomic_t forcedExitGrace = 0;
volatile sig_atomic_t firstSignal = 0;
void (*volatile forcedExitLastStep)() = nullptr;

[[noreturn]] void forceExit()
{
    if (forcedExitLastStep)
        forcedExitLastStep();
    ::_exit(128 + firstSignal);
}

void handleSignal(int signalNumber)
{
    // Only async-signal-safe calls here. Non-blocking: if the socket is full, a byte
    // for this signal is already waiting there.
    const int savedErrno = errno;
    if (forcedExitArmed) {
        if (firstSignal != 0)
            forceExit(); // a second signal, or the grace has run out
        if (signalNumber == SIGALRM) {
            errno = savedErrno;
            return; // someone else's alarm
        }
        firstSignal = signalNumber;
        ::alarm(unsigned(forcedExitGrace));
    }
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (pipeWriteFd >= 0)
        [[maybe_unused]] const ssize_t written = ::write(pipeWriteFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

UnixSignalPipe::UnixSignalPipe(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent)
{
    if (instanceExists)
        return;
    instanceExists = true;
    ownsHandlers_ = true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0)
        return;
    pipeWriteFd = fds_[1];
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { drain(); });

    struct sigaction action {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    valid_ = true;
    for (const int signalNumber : signalNumbers) {
        if (signalNumber <= 0 || signalNumber >= NSIG
            || ::sigaction(signalNumber, &action, &previousActions[signalNumber]) != 0) {
            valid_ = false;
            continue;
        }
        installed_.push_back(signalNumber);
    }
}

UnixSignalPipe::~UnixSignalPipe()
{
    if (!ownsHandlers_)
        return;
    if (ownsAlarm_) {
        forcedExitArmed = 0;
        ::alarm(0);
        ::sigaction(SIGALRM, &previousActions[SIGALRM], nullptr);
        firstSignal = 0;
    }
    restoreHandlers();
    pipeWriteFd = -1;
    notifier_.reset();
    for (int& fd : fds_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    instanceExists = false;
}

void UnixSignalPipe::setForcedExit(unsigned graceSeconds, void (*lastStep)())
{
    if (!ownsHandlers_ || ownsAlarm_)
        return;
    struct sigaction action {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGALRM, &action, &previousActions[SIGALRM]) != 0)
        return;
    ownsAlarm_ = true;
    forcedExitLastStep = lastStep;
    forcedExitGrace = sig_atomic_t(std::max(1u, graceSeconds));
    forcedExitArmed = 1;
}

void UnixSignalPipe::restoreHandlers()
{
    for (const int signalNumber : installed_)
        ::sigaction(signalNumber, &previousActions[signalNumber], nullptr);
    installed_.clear();
}

void UnixSignalPipe::drain()
{
    // The callback may end this object's life; stop reading then.
    const QPointer<UnixSignalPipe> alive(this);
    unsigned char bytes[64];
    for (;;) {
        const ssize_t count = ::read(fds_[0], bytes, sizeof bytes);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        for (ssize_t i = 0; i < count; ++i) {
            if (onSignal)
                onSignal(bytes[i]);
            if (!alive)
                return;
        }
    }
}

} // namespace tallyglass
