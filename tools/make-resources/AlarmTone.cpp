#include "AlarmTone.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

// Loud enough to be heard over a workplace, with head-room for the added harmonic.
constexpr double kPeak = 0.62 * 32767.0;
// A third harmonic makes the tone cut through on small laptop speakers.
constexpr double kHarmonic = 0.2;
// Short ramps at every tone change: an abrupt step in the wave is heard as a click.
constexpr int kRampSamples = AlarmTone::kSampleRate * 4 / 1000;

void appendLe16(QByteArray& out, quint16 value) {
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void appendLe32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

}  // namespace

QList<qint16> AlarmTone::samples() {
    constexpr int total = kSampleRate * kDurationMs / 1000;
    constexpr int segment = kSampleRate * kSegmentMs / 1000;
    QList<qint16> pcm;
    pcm.reserve(total);
    for (int i = 0; i < total; ++i) {
        const int inSegment = i % segment;
        const double hz = (i / segment) % 2 == 0 ? kHighHz : kLowHz;
        // Each segment restarts its phase at zero, so every segment starts and ends near silence.
        const double phase = 2.0 * std::numbers::pi * hz * inSegment / kSampleRate;
        const double wave =
            (std::sin(phase) + kHarmonic * std::sin(3.0 * phase)) / (1.0 + kHarmonic);
        const int edge = std::min(inSegment, segment - 1 - inSegment);
        const double ramp = std::min(1.0, static_cast<double>(edge) / kRampSamples);
        pcm.append(static_cast<qint16>(std::lround(kPeak * ramp * wave)));
    }
    return pcm;
}

QByteArray AlarmTone::wavFile(const QList<qint16>& pcm) {
    constexpr quint16 kChannels = 1;
    constexpr quint16 kBitsPerSample = 16;
    constexpr quint16 kBlockAlign = kChannels * kBitsPerSample / 8;
    const quint32 dataBytes = static_cast<quint32>(pcm.size()) * kBlockAlign;

    QByteArray out;
    out.reserve(44 + static_cast<qsizetype>(dataBytes));
    out.append("RIFF");
    appendLe32(out, 36 + dataBytes);  // everything after this field
    out.append("WAVE");
    out.append("fmt ");
    appendLe32(out, 16);
    appendLe16(out, 1);  // integer PCM
    appendLe16(out, kChannels);
    appendLe32(out, kSampleRate);
    appendLe32(out, kSampleRate * kBlockAlign);
    appendLe16(out, kBlockAlign);
    appendLe16(out, kBitsPerSample);
    out.append("data");
    appendLe32(out, dataBytes);
    for (qint16 sample : pcm) {
        appendLe16(out, static_cast<quint16>(sample));
    }
    return out;
}
