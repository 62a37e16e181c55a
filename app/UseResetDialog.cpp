#include "app/UseResetDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tallyglass {

// A QDialog like the interval dialog's: a QMessageBox shown from the tray's menu over
// D-Bus was at times answered with its default button as soon as it opened.
UseResetDialog::UseResetDialog(QWidget* parent)
    : QDialog(parent)
    , usage_(new QLabel(this))
    , use_(new QPushButton(QStringLiteral("사용"), this))
    , cancel_(new QPushButton(QStringLiteral("취소"), this))
{
    setWindowTitle(QStringLiteral("한도 리셋 사용"));
    setModal(true);

    auto* message = new QLabel(QStringLiteral("한도 리셋 1개를 사용해 지금의 사용 한도를 초기화할까요?"), this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(use_);
    buttons->addWidget(cancel_);
    use_->setAutoDefault(false);
    cancel_->setDefault(true);
    connect(use_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message);
    layout->addWidget(usage_);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

bool UseResetDialog::confirm(const QStringList& usageLines, std::int64_t resetsLeft)
{
    usage_->setText((usageLines + QStringList{QStringLiteral("남은 한도 리셋: %1개").arg(resetsLeft)})
                        .join(QLatin1Char('\n')));
    show();
    raise();
    activateWindow();
    // Once shown, so that showing does not move it to the first button: Enter and Space cancel.
    cancel_->setFocus(Qt::OtherFocusReason);
    return exec() == QDialog::Accepted;
}

} // namespace tallyglass
