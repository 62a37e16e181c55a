#pragma once
// The modal dialog that asks for a refresh interval in seconds. Main thread only.

#include "app/IntervalDialog.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace tallyglass {

class RefreshIntervalDialog : public QDialog, public IntervalDialog {
public:
    explicit RefreshIntervalDialog(QWidget* parent = nullptr);

    std::optional<QString> run(const QString& prefill) override;

    QLineEdit* field() const { return field_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    QLineEdit* field_;
    QPushButton* save_;
    QPushButton* cancel_;
};

} // namespace tallyglass
