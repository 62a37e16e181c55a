#pragma once
// UsageClient over the one CodexAppServerClient of the process. Main thread only.

#include "app/UsageClient.h"
#include "client/CodexAppServerClient.h"

namespace tallyglass {

class CodexUsageClient : public UsageClient {
public:
    CodexUsageClient();

    void start() override;
    void refresh() override;
    void stop() override;
    void useResetCredit(const QString& keyFile, const std::optional<QString>& creditId) override;

private:
    CodexAppServerClient client_;
};

} // namespace tallyglass
