#pragma once
// Writes a CODEX_HOME directory that puts a real codex CLI into a chosen sign-in state
// without network: signed out, an API key, or a ChatGPT sign-in served by FakeBackend.
// Stateless; any thread.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace tallyglass {

class FakeCodexHome {
public:
    FakeCodexHome() = delete;

    // An unsigned JWT (header.payload.signature, base64url without padding). The CLI
    // decodes such tokens but does not verify them.
    static QByteArray unsignedJwt(const QJsonObject& claims);

    // The claims of a ChatGPT Plus sign-in that expires a day from now.
    static QJsonObject chatGptClaims(const QString& accountId, const QString& email);

    // Each writes the files into `directory` (which must exist); false on a write error.
    static bool writeSignedOut(const QString& directory);
    static bool writeApiKey(const QString& directory);
    static bool writeChatGpt(const QString& directory, const QString& accountId, const QString& backendBaseUrl);
};

} // namespace tallyglass
