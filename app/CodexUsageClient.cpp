#include "app/CodexUsageClient.h"

namespace tallyglass {

CodexUsageClient::CodexUsageClient()
{
    client_.onSnapshot = [this](const UsageSnapshot& snapshot) {
        if (onSnapshot)
            onSnapshot(snapshot);
    };
    client_.onStatus = [this](const std::optional<QString>& status) {
        if (onStatus)
            onStatus(status);
    };
}

CodexUsageClient::~CodexUsageClient()
{
    // Nothing may reach this object while the client winds down.
    client_.onSnapshot = nullptr;
    client_.onStatus = nullptr;
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

} // namespace tallyglass
