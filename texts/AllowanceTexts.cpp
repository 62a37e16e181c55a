#include "texts/AllowanceTexts.h"

namespace tallyglass {

AllowanceLines AllowanceLines::make(const UsageAllowance& allowance, TimeDisplayMode mode, const TimeContext& context)
{
    Q_UNUSED(allowance); // TODO(issue 13)
    Q_UNUSED(mode);
    Q_UNUSED(context);
    return {};
}

QString AllowanceLines::useResetCommand()
{
    return QStringLiteral("한도 리셋 사용…");
}

std::optional<ResetCredit> AllowanceLines::soonestCredit(const UsageAllowance& allowance)
{
    Q_UNUSED(allowance); // TODO(issue 13)
    return std::nullopt;
}

} // namespace tallyglass
