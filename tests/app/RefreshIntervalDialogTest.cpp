#include "app/RefreshIntervalDialog.h"
#include "app/UseResetDialog.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace tallyglass::test {
namespace {

TEST(RefreshIntervalDialog, TextsFieldAndButtonOrder)
{
    RefreshIntervalDialog dialog;
    QStringList labels;
    for (const QLabel* label : dialog.findChildren<QLabel*>())
        labels << label->text();
    EXPECT_TRUE(labels.contains(QStringLiteral("자동 갱신 주기")));
    EXPECT_TRUE(labels.contains(QStringLiteral("초 단위로 입력해. 30초부터 86400초(하루)까지 가능해.")));
    EXPECT_EQ(dialog.field()->size(), QSize(220, 24));
    EXPECT_EQ(dialog.field()->placeholderText(), QStringLiteral("예: 120"));
    EXPECT_EQ(dialog.saveButton()->text(), QStringLiteral("저장"));
    EXPECT_EQ(dialog.cancelButton()->text(), QStringLiteral("취소"));
    dialog.show();
    EXPECT_LT(dialog.saveButton()->x(), dialog.cancelButton()->x()) << "저장 comes first";
}

// Runs the dialog while `answer` acts on it from inside the modal loop.
std::optional<QString> runWith(RefreshIntervalDialog& dialog, const QString& prefill,
                               std::function<void(RefreshIntervalDialog&)> answer)
{
    QString seenPrefill;
    QTimer::singleShot(0, &dialog, [&] {
        seenPrefill = dialog.field()->text();
        answer(dialog);
    });
    // Never hang the suite if the dialog fails to close.
    QTimer::singleShot(10'000, &dialog, [&] { dialog.done(QDialog::Rejected); });
    const std::optional<QString> result = dialog.run(prefill);
    EXPECT_EQ(seenPrefill, prefill);
    return result;
}

TEST(RefreshIntervalDialog, SaveReturnsTheTypedText)
{
    RefreshIntervalDialog dialog;
    const auto typed = runWith(dialog, QStringLiteral("60"), [](RefreshIntervalDialog& d) {
        d.field()->setText(QStringLiteral(" 90.5 "));
        d.saveButton()->click();
    });
    EXPECT_EQ(typed, QStringLiteral(" 90.5 "));
}

TEST(RefreshIntervalDialog, CancelAndCloseReturnNothing)
{
    RefreshIntervalDialog dialog;
    EXPECT_FALSE(runWith(dialog, QStringLiteral("90"), [](RefreshIntervalDialog& d) { d.cancelButton()->click(); }));
    EXPECT_FALSE(runWith(dialog, QStringLiteral("90"), [](RefreshIntervalDialog& d) { d.close(); }));
}

// The confirmation before a banked reset is spent: Enter and Escape answer 취소.
TEST(UseResetDialog, TextsAndOnlyTheUseButtonSpends)
{
    UseResetDialog dialog;
    const QStringList usage{QStringLiteral("5h 남음: 3%"), QStringLiteral("Week 남음: 40%")};
    for (const auto& [name, act, spends] : std::vector<std::tuple<const char*, std::function<void()>, bool>>{
             {"사용", [&] { dialog.useButton()->click(); }, true},
             {"Enter", [&] {
                  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                  QApplication::sendEvent(&dialog, &enter);
              }, false},
             {"Escape", [&] { dialog.reject(); }, false},
         }) {
        SCOPED_TRACE(name);
        QTimer::singleShot(0, &dialog, act);
        QTimer::singleShot(10'000, &dialog, [&] { dialog.done(QDialog::Rejected); });
        EXPECT_EQ(dialog.confirm(usage, 2), spends);
    }
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("한도 리셋 사용"));
    EXPECT_EQ(dialog.text(), QStringLiteral("한도 리셋 1개를 사용해 지금의 사용 한도를 초기화할까요?"));
    EXPECT_EQ(dialog.informativeText(), QStringLiteral("5h 남음: 3%\nWeek 남음: 40%\n남은 한도 리셋: 2개"));
    EXPECT_EQ(dialog.useButton()->text(), QStringLiteral("사용"));
    EXPECT_EQ(dialog.cancelButton()->text(), QStringLiteral("취소"));
    EXPECT_EQ(dialog.defaultButton(), dialog.cancelButton());
}

} // namespace
} // namespace tallyglass::test
