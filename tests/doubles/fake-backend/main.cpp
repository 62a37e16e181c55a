// fake-backend: serves FakeBackend on 127.0.0.1 until standard input closes or SIGTERM.
// Prints the base URL for `chatgpt_base_url` as its first line. With --codex-home DIR it
// first writes a ChatGPT sign-in served by itself into DIR, for a codex run from a script.
// "whole" adds everything the whole allowance holds to "both"; --consume-delay
// answers a reset that many milliseconds late; --usage-extra adds a JSON object's members
// to the usage answer.
//   fake-backend [both|null-week|error|whole] [--codex-home DIR] [--consume-delay MS] [--usage-extra JSON]

#include "tests/doubles/fake-backend/FakeBackend.h"
#include "tests/doubles/fake-backend/FakeCodexHome.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    using tallyglass::FakeBackend;
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    QString codexHome;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--codex-home")); at >= 0 && at + 1 < arguments.size()) {
        codexHome = arguments[at + 1];
        arguments.remove(at, 2);
    }
    FakeBackend::Config config;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--consume-delay")); at >= 0 && at + 1 < arguments.size()) {
        config.consumeDelayMs = arguments[at + 1].toInt();
        arguments.remove(at, 2);
    }
    QJsonObject usageExtra;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--usage-extra")); at >= 0 && at + 1 < arguments.size()) {
        usageExtra = QJsonDocument::fromJson(arguments[at + 1].toUtf8()).object();
        arguments.remove(at, 2);
    }
    const QString mode = arguments.value(0, QStringLiteral("both"));
    if (mode == QLatin1String("whole")) {
        config = FakeBackend::wholeAllowance(config, QDateTime::currentSecsSinceEpoch());
    } else if (mode == QLatin1String("null-week")) {
        config.usage = FakeBackend::UsageAnswer::NullWeek;
    } else if (mode == QLatin1String("error")) {
        config.usage = FakeBackend::UsageAnswer::ServerError;
    } else if (mode != QLatin1String("both")) {
        std::fprintf(stderr, "usage: fake-backend [both|null-week|error|whole] [--codex-home DIR] [--consume-delay MS] [--usage-extra JSON]\n");
        return 2;
    }
    for (auto it = usageExtra.begin(); it != usageExtra.end(); ++it)
        config.usageExtra.insert(it.key(), it.value());
    FakeBackend backend(config);
    if (!backend.start()) {
        std::fprintf(stderr, "fake-backend: cannot listen on 127.0.0.1\n");
        return 1;
    }
    if (!codexHome.isEmpty() && !tallyglass::FakeCodexHome::writeChatGpt(codexHome, config.accountId, backend.baseUrl())) {
        std::fprintf(stderr, "fake-backend: cannot write the sign-in into %s\n", qPrintable(codexHome));
        return 1;
    }
    std::printf("%s\n", qPrintable(backend.baseUrl()));
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return app.exec();
}
