#include "app/SignalBridge.h"

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyglass {
namespace {

constexpr std::array<int, 3> bridgedSignals{SIGTERM, SIGINT, SIGHUP};
volatile sig_atomic_t bridgeWriteFd = -1;
struct sigaction previousActions[bridgedSignals.size()];

void handleSignal(int signal)
{
    // Only async-signal-safe calls here: write the signal number into the socket.
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (bridgeWriteFd >= 0)
        [[maybe_unused]] const ssize_t written = ::write(bridgeWriteFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

std::unique_ptr<SignalBridge> SignalBridge::install(std::function<void(int)> onSignal)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return nullptr;
    std::unique_ptr<SignalBridge> bridge(new SignalBridge(std::move(onSignal), fds[0], fds[1]));
    bridgeWriteFd = fds[1];

    struct sigaction action {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < bridgedSignals.size(); ++i)
        ::sigaction(bridgedSignals[i], &action, &previousActions[i]);
    return bridge;
}

SignalBridge::SignalBridge(std::function<void(int)> onSignal, int readFd, int writeFd)
    : onSignal_(std::move(onSignal))
    , readFd_(readFd)
    , writeFd_(writeFd)
    , notifier_(new QSocketNotifier(readFd, QSocketNotifier::Read, this))
{
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
}

SignalBridge::~SignalBridge()
{
    for (std::size_t i = 0; i < bridgedSignals.size(); ++i)
        ::sigaction(bridgedSignals[i], &previousActions[i], nullptr);
    bridgeWriteFd = -1;
    delete notifier_;
    ::close(readFd_);
    ::close(writeFd_);
}

void SignalBridge::drain()
{
    unsigned char byte = 0;
    while (::read(readFd_, &byte, 1) == 1) {
        if (onSignal_)
            onSignal_(byte);
    }
}

} // namespace tallyglass
