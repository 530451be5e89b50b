// Random user actions on the running program's main window, chosen from a seed, for a given
// time; then SIGTERM. Everything runs from this object's timer, which keeps firing inside the
// nested event loops of modal dialogs. An alarm item is clicked with posted events, so the
// viewer's loop runs after the timer's slot has returned, never inside it, and the driver goes on
// while the viewer is open. Each action is printed on stdout ("driver: ...") as it happens.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <random>
#include <vector>

class QWidget;

class RandomActions : public QObject {
    Q_OBJECT
public:
    // `scenarioFile` is the camera's scenario: deleted to unplug the camera, written again with
    // the text it had at start to plug it in.
    RandomActions(unsigned seed, std::chrono::milliseconds duration, const QString& scenarioFile,
                  QObject* parent);

    // When the driver raised SIGTERM; the epoch before it did.
    static std::chrono::steady_clock::time_point TerminationTime();

private:
    struct Action {
        int weight;                    // chances in a thousand per step
        std::function<QString()> run;  // acts and says what it did
    };

    void step();
    // What a user can do with a modal dialog in front of everything.
    std::vector<Action> dialogActions(QWidget* dialog);
    // What a user can do with the main window.
    std::vector<Action> windowActions(QWidget* window);
    void addLivePageActions(QWidget* window, std::vector<Action>* actions);
    void addSettingsPageActions(QWidget* window, std::vector<Action>* actions);
    void addHistoryPageActions(QWidget* window, std::vector<Action>* actions);
    QString clickAlarmItem(const std::vector<QWidget*>& items);
    QString togglePlug();
    void terminate();
    int uniform(int low, int high);

    std::mt19937 m_random;
    std::chrono::milliseconds m_duration;
    QString m_scenarioFile;
    QByteArray m_scenarioText;
    QElapsedTimer m_clock;
    QTimer m_timer;
    int m_actions = 0;
};
