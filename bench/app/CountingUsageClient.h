#pragma once
// A UsageClient that passes everything to the real one and counts what comes back,
// so a measurement can wait for each reading without touching the delegate. Main thread only.

#include "app/UsageClient.h"

#include <functional>
#include <memory>

namespace tallyglass {

class CountingUsageClient : public UsageClient {
public:
    explicit CountingUsageClient(std::unique_ptr<UsageClient> inner);

    void start() override;
    void refresh() override;
    void stop() override;
    void useResetCredit(const QString& keyFile, const std::optional<QString>& creditId) override;

    int snapshots() const { return snapshots_; }
    int statusTexts() const { return statusTexts_; }
    const QString& lastStatusText() const { return lastStatusText_; }

    // Called after each delivery has reached the owner's callback.
    std::function<void()> onDelivery;

private:
    std::unique_ptr<UsageClient> inner_;
    int snapshots_ = 0;
    int statusTexts_ = 0;
    QString lastStatusText_;
};

} // namespace tallyglass
