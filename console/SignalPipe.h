#pragma once
// Turns SIGINT and SIGTERM into a callback on the thread that created it (the main
// thread), through a socket pair the signal handler writes to. One instance at a time.

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace tallyglass {

class SignalPipe : public QObject {
public:
    explicit SignalPipe(QObject* parent = nullptr);
    ~SignalPipe() override;

    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // False when the socket pair or a handler could not be installed.
    bool isValid() const { return valid_; }

    // Called with the signal number, once per signal delivered.
    std::function<void(int)> onSignal;

private:
    int fds_[2] = {-1, -1};
    bool valid_ = false;
    std::unique_ptr<QSocketNotifier> notifier_;

    void drain();
};

} // namespace tallyglass
