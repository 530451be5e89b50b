// The default alarm sound: two tones that alternate every 200 ms for 0.8 s, as 16-bit PCM mono
// at 44.1 kHz. Loops of it (the alarm's play count) sound like one continuous two-tone alarm.
#pragma once

#include <QByteArray>
#include <QList>

class AlarmTone {
public:
    static constexpr int kSampleRate = 44100;
    static constexpr int kDurationMs = 800;
    static constexpr int kSegmentMs = 200;
    static constexpr double kHighHz = 960.0;
    static constexpr double kLowHz = 770.0;

    // The samples, starting with the high tone.
    static QList<qint16> samples();
    // A complete WAV file (RIFF header, "fmt " chunk, "data" chunk) holding `pcm`.
    static QByteArray wavFile(const QList<qint16>& pcm);
};
