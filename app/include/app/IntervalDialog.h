#pragma once
// Asks the user for a refresh interval in seconds. Main thread only.

#include <QString>
#include <optional>

namespace tallyglass {

class IntervalDialog {
public:
    virtual ~IntervalDialog() = default;
    // Runs modally with `prefill` in the field; the field's text when the user
    // saves, nothing when the dialog is cancelled or closed.
    virtual std::optional<QString> run(const QString& prefill) = 0;
};

} // namespace tallyglass
