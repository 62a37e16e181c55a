#include "app/UseResetDialog.h"

#include <QPushButton>

namespace tallyglass {

UseResetDialog::UseResetDialog(QWidget* parent)
    : QMessageBox(parent)
    , use_(addButton(QStringLiteral("사용"), QMessageBox::AcceptRole))
    , cancel_(addButton(QStringLiteral("취소"), QMessageBox::RejectRole))
{
    setWindowTitle(QStringLiteral("한도 리셋 사용"));
    setIcon(QMessageBox::Question);
    setText(QStringLiteral("한도 리셋 1개를 사용해 지금의 사용 한도를 초기화할까요?"));
    setDefaultButton(cancel_);
    setEscapeButton(cancel_);
}

bool UseResetDialog::confirm(const QStringList& usageLines, std::int64_t resetsLeft)
{
    setInformativeText((usageLines + QStringList{QStringLiteral("남은 한도 리셋: %1개").arg(resetsLeft)})
                           .join(QLatin1Char('\n')));
    setDefaultButton(cancel_);
    show();
    raise();
    activateWindow();
    exec();
    return clickedButton() == use_;
}

} // namespace tallyglass
