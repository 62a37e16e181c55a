#pragma once
// Runs tallyglass-status as a child of the test with a codex of our choosing on PATH,
// and finds processes it left behind. Test main thread only.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace tallyglass {

struct ConsoleRun {
    int exitCode = -1;
    bool finished = false;   // exited within the allowed time
    bool crashed = false;    // ended by a signal
    QByteArray out;
    QByteArray err;
    QList<QJsonObject> lines; // stdout, one parsed object per line
    bool allLinesAreObjects = true;
    QStringList leftovers;    // codex processes left after it exited, running or unreaped
    QStringList otherOrphans; // anything else the run left (codex's own helpers, such as git)

    QStringList statuses() const;   // the status texts, "null" for a clear
    QString describe() const;       // everything above, for failure messages
};

class ConsoleProcess {
public:
    // `codexTarget` is what the `codex` on PATH links to.
    explicit ConsoleProcess(const QString& codexTarget);

    bool isValid() const { return valid_; }
    QString problem() const { return problem_; }
    QString binDirectory() const { return bin_.path(); }
    QString historyPath() const { return state_.path() + QStringLiteral("/tallyglass/history.sqlite3"); }

    QProcessEnvironment& environment() { return environment_; }

    // Starts the program and waits at most `waitMs` for it to end (then kills it).
    ConsoleRun run(const QStringList& arguments, int waitMs = 30000);

    // Starts it and returns at once; finish with wait().
    void startDetached(const QStringList& arguments);
    qint64 processId() const;
    void sendSignal(int signalNumber);
    // Reads standard output until it holds `count` occurrences of `needle` or
    // `waitMs` passed; true when they arrived.
    bool waitForOutput(const QByteArray& needle, int count, int waitMs);
    ConsoleRun wait(int waitMs);

    // Standard output goes to this file instead of a pipe (for example /dev/full).
    void setStandardOutputFile(const QString& path) { outputFile_ = path; }

    // Paths where the locator looks before PATH; a codex there would be found first.
    static QStringList fixedCandidatesPresent();

    // Once this process is a child subreaper, everything the console and its codex
    // left behind is re-parented to us; killOrphans lists it, kills it and reaps it.
    static bool becomeSubreaper();
    struct Orphans {
        QStringList codex;
        QStringList others;
    };
    static Orphans killOrphans(const QString& codexTarget);

private:
    QString codexTarget_;
    QTemporaryDir bin_;
    QTemporaryDir state_; // XDG_STATE_HOME: the reading history goes here, never to the user's
    bool valid_ = false;
    QString problem_;
    QProcessEnvironment environment_;
    QString outputFile_;
    QByteArray out_;
    class QProcess* process_ = nullptr;
};

} // namespace tallyglass
