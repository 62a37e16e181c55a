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
    const QStringList usage{QStringLiteral("5h 남음: 3%"), QStringLiteral("Week 남음: 40%")};
    const auto press = [](QWidget* w, Qt::Key key) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(w, &event);
    };
    for (const auto& [name, act, spends] :
         std::vector<std::tuple<const char*, std::function<void(UseResetDialog&)>, bool>>{
             {"사용", [](UseResetDialog& d) { d.useButton()->click(); }, true},
             {"Enter", [&](UseResetDialog& d) { press(QApplication::focusWidget() ? QApplication::focusWidget() : &d, Qt::Key_Return); }, false},
             {"Escape", [&](UseResetDialog& d) { press(&d, Qt::Key_Escape); }, false},
         }) {
        SCOPED_TRACE(name);
        UseResetDialog dialog;
        bool openWhenActing = false;
        QTimer::singleShot(0, &dialog, [&] {
            openWhenActing = dialog.isVisible();
            act(dialog);
        });
        QTimer::singleShot(10'000, &dialog, [&] { dialog.done(QDialog::Rejected); });
        EXPECT_EQ(dialog.confirm(usage, 2), spends);
        EXPECT_TRUE(openWhenActing) << "answered before it was shown";
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("한도 리셋 사용"));
        QStringList labels;
        for (const QLabel* label : dialog.findChildren<QLabel*>())
            labels << label->text();
        EXPECT_EQ(labels, (QStringList{QStringLiteral("5h 남음: 3%\nWeek 남음: 40%\n남은 한도 리셋: 2개"),
                                       QStringLiteral("한도 리셋 1개를 사용해 지금의 사용 한도를 초기화할까요?")}));
        EXPECT_EQ(dialog.useButton()->text(), QStringLiteral("사용"));
        EXPECT_EQ(dialog.cancelButton()->text(), QStringLiteral("취소"));
    }
}

} // namespace
} // namespace tallyglass::test
