#pragma once
// Turns a set of Unix signals into a callback on the thread that created it, through a
// socket pair the signal handler writes to. Puts the earlier handlers back on
// destruction. One instance at a time; a second one stays invalid and touches nothing.

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

private:
    void drain();
    void restoreHandlers();

    int fds_[2] = {-1, -1};
    bool valid_ = false;
    bool ownsHandlers_ = false;
    std::vector<int> installed_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace tallyglass
