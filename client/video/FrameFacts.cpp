#include "video/FrameFacts.h"

#include "settings/CompileInfo.h"

std::vector<Media::PngText> FrameFactsText(const FrameFacts& facts) {
    std::vector<Media::PngText> text{
        {"Camera time", facts.displayTime.empty() ? facts.fileTime : facts.displayTime},
        {"Software", ("Calorview " + CompileVersion()).toStdString()}};
    if (facts.temperatureTenths) {
        const int32_t tenths = *facts.temperatureTenths;
        text.emplace_back("Temperature",
                          TemperatureText(tenths / 10.0, facts.unitKind).toStdString());
        text.emplace_back("Alarm word", std::to_string(tenths));
    }
    return text;
}

QString TemperatureText(double temperature, int unitKind) {
    const QString sign = unitKind == 1   ? QString(QChar(0x2109))
                         : unitKind == 2 ? QStringLiteral("K")
                                         : QString(QChar(0x2103));
    return QString::number(temperature, 'g', 6) + sign;
}
