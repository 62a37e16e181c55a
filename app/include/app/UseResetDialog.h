#pragma once
// The modal dialog that confirms spending a banked reset; "취소" is the default, so
// Enter never spends one. Main thread only.

#include "app/ResetDialog.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace tallyglass {

class UseResetDialog : public QDialog, public ResetDialog {
public:
    explicit UseResetDialog(QWidget* parent = nullptr);

    bool confirm(const QStringList& usageLines, std::int64_t resetsLeft) override;

    QLabel* usageLabel() const { return usage_; }
    QPushButton* useButton() const { return use_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    QLabel* usage_;
    QPushButton* use_;
    QPushButton* cancel_;
};

} // namespace tallyglass
