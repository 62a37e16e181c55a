#include "tests/doubles/fake-backend/FakeCodexHome.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

namespace tallyglass {

namespace {

bool writeFile(const QString& path, const QByteArray& content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(content);
    return file.commit();
}

QByteArray base64Url(const QByteArray& bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

} // namespace

QByteArray FakeCodexHome::unsignedJwt(const QJsonObject& claims)
{
    const QByteArray header = QJsonDocument(QJsonObject{{"alg", "RS256"}, {"typ", "JWT"}}).toJson(QJsonDocument::Compact);
    const QByteArray payload = QJsonDocument(claims).toJson(QJsonDocument::Compact);
    return base64Url(header) + '.' + base64Url(payload) + '.' + base64Url("not-a-signature");
}

QJsonObject FakeCodexHome::chatGptClaims(const QString& accountId, const QString& email)
{
    return QJsonObject{
        {"email", email},
        {"exp", QDateTime::currentSecsSinceEpoch() + 24 * 3600},
        {"https://api.openai.com/auth",
         QJsonObject{{"chatgpt_plan_type", "plus"}, {"chatgpt_account_id", accountId}}},
    };
}

bool FakeCodexHome::writeSignedOut(const QString& directory)
{
    // No auth.json at all; an empty config keeps the CLI from looking elsewhere.
    QFile::remove(QDir(directory).filePath(QStringLiteral("auth.json")));
    return writeFile(QDir(directory).filePath(QStringLiteral("config.toml")), QByteArray());
}

bool FakeCodexHome::writeApiKey(const QString& directory)
{
    const QDir dir(directory);
    return writeFile(dir.filePath(QStringLiteral("auth.json")), R"({"OPENAI_API_KEY":"sk-tallyglass-test"})")
        && writeFile(dir.filePath(QStringLiteral("config.toml")), QByteArray());
}

bool FakeCodexHome::writeChatGpt(const QString& directory, const QString& accountId, const QString& backendBaseUrl)
{
    const QByteArray jwt = unsignedJwt(chatGptClaims(accountId, QStringLiteral("tester@example.com")));
    const QJsonObject tokens{
        {"id_token", QString::fromLatin1(jwt)},
        {"access_token", QString::fromLatin1(jwt)},
        {"refresh_token", "rt-tallyglass-test"},
        {"account_id", accountId},
    };
    const QJsonObject auth{
        {"auth_mode", "chatgpt"},
        {"OPENAI_API_KEY", QJsonValue::Null},
        {"tokens", tokens},
        {"last_refresh", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
    };
    const QDir dir(directory);
    const QByteArray config = "chatgpt_base_url = \"" + backendBaseUrl.toUtf8() + "\"\n";
    return writeFile(dir.filePath(QStringLiteral("auth.json")), QJsonDocument(auth).toJson(QJsonDocument::Compact))
        && writeFile(dir.filePath(QStringLiteral("config.toml")), config);
}

} // namespace tallyglass
