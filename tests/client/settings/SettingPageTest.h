// A settings page driven offscreen on a store of its own in the test's folder (and
// XDG_CONFIG_HOME there), inside a host that stands in for the main window and holds the toasts'
// area.
#pragma once

#include <gtest/gtest.h>

#include <QWidget>
#include <memory>

#include "settings/SettingStore.h"
#include "settings/SettingWindow.h"
#include "support/FakeDialogs.h"
#include "support/TempDir.h"
#include "ui/NotifyManager.h"

class SettingPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        store.setPath(QString::fromStdString(dir.file("kvs.ini")));
        // The desktop's autostart entry of "Start when I log in" goes into the test's folder.
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.file("config")));
        host.resize(1280, 720);
        SetNotifyArea(&host, 0, 0, 240, 100);
    }

    // Built on first use, so a test can fill the store first.
    SettingWindow& page() {
        if (m_page == nullptr) {
            auto fake = std::make_unique<CalorviewTest::FakeDialogs>();
            dialogs = fake.get();
            m_page = new SettingWindow(&host, store, std::move(fake));
        }
        return *m_page;
    }

    CalorviewTest::TempDir dir;
    SettingStore store;
    QWidget host;  // destroyed, with the page, before the store
    CalorviewTest::FakeDialogs* dialogs = nullptr;

private:
    SettingWindow* m_page = nullptr;
};
