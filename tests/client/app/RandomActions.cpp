#include "RandomActions.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QListView>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QTableView>
#include <QToolButton>
#include <algorithm>
#include <csignal>
#include <cstdio>

namespace {

// A step every 30 to 300 ms, so about 360 steps a minute: a weight of 3 is about once a minute.
constexpr int kChances = 1000;

std::chrono::steady_clock::time_point g_terminationTime;

QWidget* mainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == "MainWindow") {
            return widget;
        }
    }
    return nullptr;
}

template <typename Widget>
Widget* child(QWidget* parent, const char* name) {
    return parent->findChild<Widget*>(QString::fromLatin1(name));
}

// A click as a user makes it; the button's own name says which.
QString click(QPushButton* button) {
    button->click();
    return "click " + button->objectName();
}

void postKey(QWidget* receiver, Qt::Key key) {
    QCoreApplication::postEvent(receiver, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
    QCoreApplication::postEvent(receiver, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier));
}

QString describe(const QWidget* widget) {
    const char* type = widget->metaObject()->className();
    return widget->objectName().isEmpty() ? QString::fromLatin1(type)
                                          : QString("%1 \"%2\"").arg(type, widget->objectName());
}

}  // namespace

RandomActions::RandomActions(unsigned seed, std::chrono::milliseconds duration,
                             const QString& scenarioFile, QObject* parent)
    : QObject(parent), m_random(seed), m_duration(duration), m_scenarioFile(scenarioFile) {
    QFile scenario(scenarioFile);
    if (scenario.open(QIODevice::ReadOnly)) {
        m_scenarioText = scenario.readAll();
    }
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &RandomActions::step);
    m_clock.start();
    m_timer.start(0);
    std::printf("driver: seed %u, %lld s, camera %s\n", seed,
                static_cast<long long>(duration.count() / 1000), qPrintable(scenarioFile));
    std::fflush(stdout);
}

std::chrono::steady_clock::time_point RandomActions::TerminationTime() {
    return g_terminationTime;
}

int RandomActions::uniform(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(m_random);
}

void RandomActions::step() {
    QWidget* window = mainWindow();
    if (window != nullptr && m_clock.elapsed() >= m_duration.count()) {
        terminate();
        return;
    }
    m_timer.start(uniform(30, 300));
    if (window == nullptr) {
        return;  // not built yet
    }
    QWidget* dialog = QApplication::activeModalWidget();
    std::vector<Action> actions = dialog != nullptr ? dialogActions(dialog) : windowActions(window);
    // Whatever is on the screen, the cable can be pulled (about twice a minute) or put back
    // (after about two seconds).
    actions.push_back({QFile::exists(m_scenarioFile) ? 5 : 100, [this] { return togglePlug(); }});
    // Weights are chances in a thousand per step; in the rest of the steps nothing happens.
    std::vector<int> weights;
    int total = 0;
    for (const Action& action : actions) {
        weights.push_back(action.weight);
        total += action.weight;
    }
    weights.push_back(std::max(0, kChances - total));
    const size_t pick =
        std::discrete_distribution<size_t>(weights.begin(), weights.end())(m_random);
    if (pick == actions.size()) {
        return;
    }
    const QString done = actions[pick].run();
    std::printf("driver: %8.3f s #%d %s\n", m_clock.elapsed() / 1000.0, ++m_actions,
                qPrintable(done));
    std::fflush(stdout);
}

std::vector<RandomActions::Action> RandomActions::dialogActions(QWidget* dialog) {
    std::vector<Action> actions;
    if (auto* close = child<QPushButton>(dialog, "Close")) {
        actions.push_back({50, [close] { return click(close) + " on the viewer"; }});
    }
    actions.push_back({50, [dialog] {
                           postKey(dialog, Qt::Key_Escape);
                           return "Escape on " + describe(dialog);
                       }});
    return actions;
}

std::vector<RandomActions::Action> RandomActions::windowActions(QWidget* window) {
    std::vector<Action> actions;
    if (window->isMinimized()) {
        actions.push_back({300, [window] {
                               window->showNormal();
                               return QString("restore the window");
                           }});
        return actions;
    }
    addLivePageActions(window, &actions);
    addSettingsPageActions(window, &actions);
    addHistoryPageActions(window, &actions);
    // A large snapshot viewer the History page left open.
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* close = child<QPushButton>(widget, "Close");
        if (widget->inherits("ImageView") && widget->isVisible() && close != nullptr) {
            actions.push_back({40, [close] { return click(close) + " on the large view"; }});
        }
    }
    for (const char* name : {"Min", "Resize"}) {
        if (auto* button = child<QPushButton>(window, name)) {
            actions.push_back({10, [button] { return click(button); }});
        }
    }
    actions.push_back(
        {15, [this, window] {
             window->resize(uniform(640, 1600), uniform(400, 1000));
             return QString("resize to %1 x %2").arg(window->width()).arg(window->height());
         }});
    return actions;
}

void RandomActions::addLivePageActions(QWidget* window, std::vector<Action>* actions) {
    auto* record = child<QPushButton>(window, "RecordButton");
    auto* grab = child<QPushButton>(window, "GrabButton");
    auto* settings = child<QPushButton>(window, "MenuSetting");
    auto* history = child<QPushButton>(window, "MenuHistory");
    if (record == nullptr || grab == nullptr || settings == nullptr || history == nullptr ||
        !record->isVisible()) {
        return;
    }
    actions->push_back({30, [record] { return click(record); }});
    actions->push_back({30, [grab] { return click(grab); }});
    actions->push_back({20, [settings] { return click(settings); }});
    actions->push_back({20, [history] { return click(history); }});
    std::vector<QWidget*> items;
    for (QWidget* item : window->findChildren<QWidget*>("AlarmItem")) {
        if (!item->isHidden()) {  // a hidden one has left the list and waits to be deleted
            items.push_back(item);
        }
    }
    if (!items.empty()) {
        actions->push_back({60, [this, items] { return clickAlarmItem(items); }});
    }
}

void RandomActions::addSettingsPageActions(QWidget* window, std::vector<Action>* actions) {
    auto* live = child<QPushButton>(window, "MenuAlarm");
    auto* recordType = child<QComboBox>(window, "comboBox_3");
    if (live == nullptr || recordType == nullptr || !recordType->isVisible()) {
        return;
    }
    actions->push_back({80, [live] { return click(live); }});
    if (auto* history = child<QPushButton>(window, "MenuHistory")) {
        actions->push_back({30, [history] { return click(history); }});
    }
    for (const char* name : {"checkBox", "checkBox_2", "checkBox_Recode", "checkBox_Snapshot"}) {
        if (auto* box = child<QCheckBox>(window, name)) {
            actions->push_back({50, [box] {
                                    box->click();
                                    return QString("click \"%1\", now %2")
                                        .arg(box->text(), box->isChecked() ? "on" : "off");
                                }});
        }
    }
    actions->push_back({50, [recordType] {
                            // The arrow keys move the choice and emit activated(), as a user's
                            // pick in the popup does.
                            postKey(recordType,
                                    recordType->currentIndex() == 0 ? Qt::Key_Down : Qt::Key_Up);
                            return QString("record type from %1").arg(recordType->currentText());
                        }});
}

void RandomActions::addHistoryPageActions(QWidget* window, std::vector<Action>* actions) {
    auto* page = child<QWidget>(window, "HistoryPage");
    auto* table = child<QTableView>(window, "HistoryTable");
    auto* calendar = child<QCalendarWidget>(window, "HistoryCalendar");
    auto* strip = child<QListView>(window, "SnapshotStrip");
    auto* seek = child<QSlider>(window, "PlayerSeek");
    if (page == nullptr || table == nullptr || calendar == nullptr || strip == nullptr ||
        seek == nullptr || !page->isVisible()) {
        return;
    }
    // The page is left less often than it is reached: it has more to try.
    for (const char* name : {"MenuAlarm", "MenuSetting"}) {
        if (auto* tab = child<QPushButton>(window, name)) {
            actions->push_back({8, [tab] { return click(tab); }});
        }
    }
    // The buttons of the page and its player; Export... opens the save dialog, which the
    // dialog's actions answer with Escape.
    for (const char* name : {"HistoryKeep", "HistoryMarkDay", "HistoryExport"}) {
        auto* button = child<QPushButton>(window, name);
        if (button != nullptr && button->isEnabled()) {
            actions->push_back({15, [button] { return click(button); }});
        }
    }
    for (const char* name : {"PlayerPlay", "PlayerStepBack", "PlayerStepForward"}) {
        auto* button = child<QToolButton>(window, name);
        if (button != nullptr && button->isEnabled()) {
            actions->push_back({30, [button] {
                                    button->click();
                                    return "click " + button->objectName();
                                }});
        }
    }
    if (seek->isEnabled() && seek->maximum() > 0) {
        actions->push_back({30, [this, seek] {
                                seek->setSliderPosition(uniform(0, seek->maximum()));
                                seek->triggerAction(QAbstractSlider::SliderMove);
                                return QString("seek to %1 ms").arg(seek->sliderPosition());
                            }});
    }
    const int rows = table->model()->rowCount();
    if (rows > 0) {
        actions->push_back({60, [this, table, rows] {
                                const int row = uniform(0, rows - 1);
                                table->setCurrentIndex(table->model()->index(row, 0));
                                return QString("select episode %1 of %2").arg(row).arg(rows);
                            }});
    }
    actions->push_back({20, [this, calendar] {
                            // Today, or a day of the last two weeks.
                            const QDate day = QDate::currentDate().addDays(-uniform(0, 14));
                            calendar->setSelectedDate(day);
                            return "show " + day.toString(Qt::ISODate);
                        }});
    actions->push_back({40, [this, table, strip] {
                            static const Qt::Key keys[] = {Qt::Key_Up, Qt::Key_Down, Qt::Key_Left,
                                                           Qt::Key_Right, Qt::Key_Return};
                            const Qt::Key key = keys[uniform(0, 4)];
                            QWidget* target = key == Qt::Key_Up || key == Qt::Key_Down
                                                  ? static_cast<QWidget*>(table)
                                                  : static_cast<QWidget*>(strip);
                            postKey(target, key);
                            return QString("key %1 on %2").arg(key).arg(describe(target));
                        }});
}

QString RandomActions::clickAlarmItem(const std::vector<QWidget*>& items) {
    // The list's oldest item is the one the next alarm pushes out: favour it.
    auto oldest = std::max_element(items.begin(), items.end(),
                                   [](QWidget* a, QWidget* b) { return a->y() < b->y(); });
    QWidget* item = uniform(0, 2) == 0 ? *oldest : items[uniform(0, items.size() - 1)];
    const QPointF at(item->width() / 2.0, item->height() / 2.0);
    const QPointF global = item->mapToGlobal(at);
    QCoreApplication::postEvent(
        item, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                              Qt::NoModifier));
    QCoreApplication::postEvent(
        item, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                              Qt::NoModifier));
    return QString("click alarm item at y %1 of %2 items%3")
        .arg(item->y())
        .arg(items.size())
        .arg(item == *oldest ? " (the oldest)" : "");
}

QString RandomActions::togglePlug() {
    if (QFile::exists(m_scenarioFile)) {
        QFile::remove(m_scenarioFile);
        return "unplug the camera";
    }
    QFile scenario(m_scenarioFile);
    if (scenario.open(QIODevice::WriteOnly)) {
        scenario.write(m_scenarioText);
    }
    return "plug the camera in";
}

void RandomActions::terminate() {
    QWidget* dialog = QApplication::activeModalWidget();
    std::printf("driver: %8.3f s SIGTERM%s%s\n", m_clock.elapsed() / 1000.0,
                dialog != nullptr ? " with a modal dialog open: " : "",
                dialog != nullptr ? qPrintable(describe(dialog)) : "");
    std::fflush(stdout);
    g_terminationTime = std::chrono::steady_clock::now();
    std::raise(SIGTERM);
}
