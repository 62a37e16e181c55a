#include "app/RefreshIntervalDialog.h"

#include "app/SettingsKeys.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tallyglass {

RefreshIntervalDialog::RefreshIntervalDialog(QWidget* parent)
    : QDialog(parent)
    , field_(new QLineEdit(this))
    , save_(new QPushButton(QStringLiteral("저장"), this))
    , cancel_(new QPushButton(QStringLiteral("취소"), this))
{
    setWindowTitle(QStringLiteral("Tallyglass"));
    setModal(true);

    auto* message = new QLabel(QStringLiteral("자동 갱신 주기"), this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    auto* informative = new QLabel(QStringLiteral("초 단위로 입력해. %1초부터 %2초(하루)까지 가능해.")
                                       .arg(SettingsKeys::refreshInterval.minimumSeconds)
                                       .arg(SettingsKeys::refreshInterval.maximumSeconds),
                                   this);
    informative->setWordWrap(true);

    field_->setFixedSize(220, 24);
    field_->setPlaceholderText(QStringLiteral("예: 120"));

    // Laid out by hand so "저장" stays first whatever the desktop's button order.
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(save_);
    buttons->addWidget(cancel_);
    save_->setDefault(true);
    connect(save_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message);
    layout->addWidget(informative);
    layout->addWidget(field_);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

std::optional<QString> RefreshIntervalDialog::run(const QString& prefill)
{
    field_->setText(prefill);
    field_->selectAll();
    field_->setFocus();
    show();
    raise();
    activateWindow();
    const int answer = exec();
    if (answer != QDialog::Accepted)
        return std::nullopt;
    return field_->text();
}

} // namespace tallyglass
