#include "app/CodexUsageClient.h"

namespace tallyglass {

CodexUsageClient::CodexUsageClient()
{
    // Connected with the client as context: nothing reaches this object once the client,
    // its member, is gone.
    QObject::connect(&client_, &CodexAppServerClient::snapshotPublished, &client_,
                     [this](const UsageSnapshot& snapshot) {
                         if (onSnapshot)
                             onSnapshot(snapshot);
                     });
    QObject::connect(&client_, &CodexAppServerClient::allowancePublished, &client_,
                     [this](const UsageAllowance& allowance) {
                         if (onAllowance)
                             onAllowance(allowance);
                     });
    QObject::connect(&client_, &CodexAppServerClient::statusChanged, &client_,
                     [this](const std::optional<ClientStatus>& status) {
                         if (onStatus)
                             onStatus(status);
                     });
}

void CodexUsageClient::start()
{
    client_.start();
}

void CodexUsageClient::refresh()
{
    client_.refresh();
}

void CodexUsageClient::stop()
{
    client_.stop();
}

void CodexUsageClient::useResetCredit(const QString& keyFile, const std::optional<QString>& creditId)
{
    client_.useResetCredit(keyFile, creditId);
}

} // namespace tallyglass
