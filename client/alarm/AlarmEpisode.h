// One alarm episode: from the first alarm frame the live page acts on until no alarm frame has
// come for the 5-second alarm hold. A plain value; registered as a metatype so it can travel in
// queued signals.
#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

struct AlarmEpisode {
    quint64 serial = 0;          // counts episodes in this run, from 1
    QString firstCameraTime;     // the camera's display time of the first alarm frame, as given
    QString lastCameraTime;      // the same of the last alarm frame
    QDateTime firstTime;         // computer time (local, with its UTC offset) of the first frame
    QDateTime lastTime;          // the same of the last alarm frame
    double peakTemperature = 0;  // highest alarm temperature of all the episode's alarm frames
    int unitKind = 0;            // 1 Fahrenheit, 2 Kelvin, anything else Celsius (FrameFacts)
    int snapshots = 0;           // alarm snapshots written during the episode
    QString firstSnapshot;       // file name (no folder) of the first / last alarm snapshot;
    QString lastSnapshot;        // empty when none
    QString recording;           // file name (no folder) of the alarm recording that ran during it
};

Q_DECLARE_METATYPE(AlarmEpisode)
