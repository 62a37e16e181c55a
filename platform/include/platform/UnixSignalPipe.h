#pragma once
// Turns a set of Unix signals into a callback on the thread that created it, through a
// socket pair the signal handler writes to. Puts the earlier handlers back on
// destruction. One instance at a time; a second one stays invalid and touches nothing.
// Optionally ends the process from the handler itself when the thread that should take the
// orderly way out does not (it may be stuck in a blocking call).

#include <QObject>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace tallyglass {

class UnixSignalPipe : public QObject {
public:
    explicit UnixSignalPipe(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~UnixSignalPipe() override;

    UnixSignalPipe(const UnixSignalPipe&) = delete;
    UnixSignalPipe& operator=(const UnixSignalPipe&) = delete;

    // False when another instance exists, or the socket pair or a handler could not be set.
    bool isValid() const { return valid_; }

    // Called with the signal number, once per signal delivered.
    std::function<void(int)> onSignal;

    // From the first signal on, a second one or `graceSeconds` without the process having
    // ended end it at once: `lastStep` runs in the signal handler (so it must be
    // async-signal-safe), then _exit(128 + the first signal's number). Uses SIGALRM.
    void setForcedExit(unsigned graceSeconds, void (*lastStep)());

private:
    void drain();
    void restoreHandlers();

    int fds_[2] = {-1, -1};
    bool valid_ = false;
    bool ownsHandlers_ = false;
    bool ownsAlarm_ = false;
    std::vector<int> installed_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace tallyglass
