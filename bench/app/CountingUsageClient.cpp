#include "bench/app/CountingUsageClient.h"

namespace tallyglass {

CountingUsageClient::CountingUsageClient(std::unique_ptr<UsageClient> inner)
    : inner_(std::move(inner))
{
}

void CountingUsageClient::start()
{
    // The owner sets its callbacks before it starts the client.
    inner_->onSnapshot = [this](const UsageSnapshot& snapshot) {
        ++snapshots_;
        if (onSnapshot)
            onSnapshot(snapshot);
        if (onDelivery)
            onDelivery();
    };
    inner_->onAllowance = [this](const UsageAllowance& allowance) {
        if (onAllowance)
            onAllowance(allowance);
    };
    inner_->onStatus = [this](const std::optional<ClientStatus>& status) {
        if (status) {
            ++statusTexts_;
            lastStatusText_ = status->text;
        }
        if (onStatus)
            onStatus(status);
        if (onDelivery)
            onDelivery();
    };
    inner_->start();
}

void CountingUsageClient::refresh()
{
    inner_->refresh();
}

void CountingUsageClient::stop()
{
    inner_->stop();
}

void CountingUsageClient::useResetCredit(const QString& keyFile, const std::optional<QString>& creditId)
{
    inner_->useResetCredit(keyFile, creditId);
}

} // namespace tallyglass
