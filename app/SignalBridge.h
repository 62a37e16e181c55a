#pragma once
// Turns SIGTERM, SIGINT and SIGHUP into a call on the main thread's event loop. Main thread only.

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tallyglass {

class SignalBridge : public QObject {
public:
    // Installs the handlers; `onSignal` runs on the event loop once per signal received.
    // Only one bridge may exist at a time. Returns nothing when the handlers cannot be set.
    static std::unique_ptr<SignalBridge> install(std::function<void(int)> onSignal);
    // Puts the earlier handlers back.
    ~SignalBridge() override;

private:
    SignalBridge(std::function<void(int)> onSignal, int readFd, int writeFd);
    void drain();

    std::function<void(int)> onSignal_;
    int readFd_;
    int writeFd_;
    QSocketNotifier* notifier_;
};

} // namespace tallyglass
