// Toasts: size, place, icon kind, lifetime driven tick by tick, and what happens without a parent.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPointer>
#include <QTimerEvent>
#include <QWidget>
#include <memory>

#include "ui/NotifyManager.h"
#include "ui/NotifyWidget.h"

namespace {

// One fade tick, delivered as the toast's own timer would deliver it.
void tick(NotifyWidget* toast) {
    QTimerEvent event(toast->FadeTimerId());
    QCoreApplication::sendEvent(toast, &event);
}

void flushDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

class NotifyTest : public testing::Test {
protected:
    void SetUp() override {
        m_parent = std::make_unique<QWidget>();
        m_parent->resize(1280, 720);
        m_parent->show();
        SetNotifyArea(m_parent.get(), 0, 0, 240, 100);
    }
    void TearDown() override {
        m_parent.reset();
        SetNotifyArea(nullptr, 0, 0, 0, 0);
    }
    static const QVector<NotifyWidget*>& toasts() { return NotifyManager::instance()->Toasts(); }

    std::unique_ptr<QWidget> m_parent;
};

TEST(NotifyHeight, WideTextsGetTheTallerBox) {
    const struct {
        int width;
        int height;
    } cases[] = {{0, 40}, {223, 40}, {224, 60}, {1000, 60}};
    for (const auto& c : cases) {
        EXPECT_EQ(NotifyManager::ToastHeight(c.width), c.height) << "text width " << c.width;
    }
}

TEST(NotifyWithoutArea, MessagesAreDroppedUntilAParentIsSet) {
    SetNotifyArea(nullptr, 0, 0, 240, 100);
    ShowNotify("Snapshot failed!", true);
    ShowSuccessNotify("Snapshot succeed!");
    EXPECT_TRUE(NotifyManager::instance()->Toasts().isEmpty());
}

TEST_F(NotifyTest, ToastIsAreaWideAndCentredInTheParent) {
    const QString longText(80, QChar('W'));
    const struct {
        QSize parent;
        QString text;
        QRect expected;
    } cases[] = {
        {{1280, 720}, "Setting changed!", {520, 340, 240, 40}},
        {{1280, 720}, longText, {520, 330, 240, 60}},
        {{1001, 501}, "Recording Start!", {380, 230, 240, 40}},
        // Smaller than the toast: the halvings truncate toward zero.
        {{201, 31}, "Recording Start!", {-19, -4, 240, 40}},
    };
    for (const auto& c : cases) {
        m_parent->resize(c.parent);
        ShowSuccessNotify(c.text);
        ASSERT_FALSE(toasts().isEmpty());
        NotifyWidget* toast = toasts().last();
        EXPECT_EQ(toast->geometry(), c.expected) << c.text.left(20).toStdString();
        EXPECT_EQ(toast->parentWidget(), m_parent.get());
        EXPECT_TRUE(toast->isVisible());
        EXPECT_EQ(toast->TextLabel()->text(), c.text);
    }
}

TEST_F(NotifyTest, ErrorAndSuccessShowTheirOwnIcon) {
    ShowNotify("DiskFreeSpace Not Enough", true);
    ShowSuccessNotify("Snapshot succeed!");
    ShowNotify("Recording Start!", false);
    ASSERT_EQ(toasts().size(), 3);
    const char* error = "QWidget{background-image:url(./Skin/alert_error.png);}";
    const char* success = "QWidget{background-image:url(./Skin/alert_correctness.png);}";
    EXPECT_EQ(toasts()[0]->Icon()->styleSheet(), error);
    EXPECT_EQ(toasts()[1]->Icon()->styleSheet(), success);
    EXPECT_EQ(toasts()[2]->Icon()->styleSheet(), success);
    EXPECT_EQ(toasts()[0]->Icon()->size(), QSize(30, 30));
}

TEST_F(NotifyTest, ToastStaysTwentyFiveTicksAndClosesAtTheTwentySixth) {
    ShowSuccessNotify("Snapshot succeed!");
    ASSERT_EQ(toasts().size(), 1);
    QPointer<NotifyWidget> toast = toasts().first();
    EXPECT_EQ(toast->HoldTime(), 1000);
    ASSERT_NE(toast->FadeTimerId(), -1);

    for (int i = 1; i <= 25; ++i) {
        tick(toast);
        ASSERT_EQ(toast->Opacity(), 1.0) << "tick " << i;
        ASSERT_TRUE(toast->isVisible()) << "tick " << i;
    }
    tick(toast);
    EXPECT_TRUE(toasts().isEmpty());
    ASSERT_FALSE(toast.isNull());
    EXPECT_FALSE(toast->isVisible());
    EXPECT_EQ(toast->FadeTimerId(), -1);
    flushDeferredDeletes();
    EXPECT_TRUE(toast.isNull());
}

TEST_F(NotifyTest, ForeignTimerEventsDoNotAdvanceTheFade) {
    ShowSuccessNotify("Snapshot succeed!");
    NotifyWidget* toast = toasts().first();
    QTimerEvent foreign(toast->FadeTimerId() + 1000);
    for (int i = 0; i < 30; ++i) {
        QCoreApplication::sendEvent(toast, &foreign);
    }
    EXPECT_EQ(toasts().size(), 1);
    EXPECT_TRUE(toast->isVisible());
}

TEST_F(NotifyTest, SecondStartFadeKeepsTheFirstHoldTime) {
    auto* toast = new NotifyWidget(m_parent.get());
    toast->StartFade(80);
    const int timerId = toast->FadeTimerId();
    toast->StartFade(5000);
    EXPECT_EQ(toast->HoldTime(), 80);
    EXPECT_EQ(toast->FadeTimerId(), timerId);
    // Hold 80 ms: two ticks keep it, the third closes it.
    QPointer<NotifyWidget> guard = toast;
    toast->show();
    tick(toast);
    tick(toast);
    EXPECT_TRUE(toast->isVisible());
    tick(toast);
    EXPECT_FALSE(toast->isVisible());
    flushDeferredDeletes();
    EXPECT_TRUE(guard.isNull());
}

TEST_F(NotifyTest, FiveToastsStackAtOnePlaceNewestOnTopAndCloseOldestFirst) {
    for (int i = 0; i < 5; ++i) {
        ShowNotify(QString("message %1").arg(i), i % 2 == 0);
    }
    ASSERT_EQ(toasts().size(), 5);
    const QVector<NotifyWidget*> shown = toasts();
    for (NotifyWidget* toast : shown) {
        EXPECT_EQ(toast->geometry(), QRect(520, 340, 240, 40));
    }
    QWidget* top = m_parent->childAt(QPoint(640, 360));
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(shown.last()->isAncestorOf(top));

    // Each toast runs its own schedule; the oldest was started first and goes first.
    for (int closed = 0; closed < 5; ++closed) {
        for (int i = 0; i < 26; ++i) {
            tick(shown[closed]);
        }
        ASSERT_EQ(toasts().size(), 4 - closed);
        if (!toasts().isEmpty()) {
            EXPECT_EQ(toasts().first(), shown[closed + 1]);
        }
    }
}

TEST_F(NotifyTest, ParentDestroyedWhileToastsShowLeavesNothingBehind) {
    ShowSuccessNotify("Recording finished!");
    ShowNotify("Recording failed!", true);
    ASSERT_EQ(toasts().size(), 2);
    m_parent.reset();
    EXPECT_TRUE(toasts().isEmpty());
    // A late message, as at exit, is dropped instead of reaching a dead window.
    ShowNotify("Recording failed!", true);
    EXPECT_TRUE(toasts().isEmpty());
    EXPECT_EQ(NotifyManager::instance()->ParentWidget(), nullptr);
}

}  // namespace
