// The staged resources load as the client loads them: the style sheet parses and styles the named
// widgets, every image loads at its size, the alarm sound is a valid and audible PCM wave, and the
// compiled translation answers every message of its source.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtEndian>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

const QString kStageDir = QStringLiteral(CALORVIEW_STAGE_DIR);
const QString kTranslationSource = QStringLiteral(CALORVIEW_TRANSLATION_SOURCE);

QString staged(const QString& relative) {
    return kStageDir + QLatin1Char('/') + relative;
}

QByteArray readStaged(const QString& relative) {
    QFile file(staged(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// ---- Style sheet ----

QStringList g_warnings;

void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtDebugMsg && type != QtInfoMsg) {
        g_warnings.append(message);
    }
}

class StyleSheetTest : public testing::Test {
protected:
    void SetUp() override {
        // The sheet's url(./Skin/...) paths are relative to the application folder, as at run time.
        ASSERT_TRUE(QDir::setCurrent(kStageDir));
        const QByteArray sheet = readStaged(QStringLiteral("Skin/kvs.qss"));
        ASSERT_FALSE(sheet.isEmpty());
        g_warnings.clear();
        m_previousHandler = qInstallMessageHandler(collectWarnings);
        qApp->setStyleSheet(QString::fromLocal8Bit(sheet));
    }
    void TearDown() override {
        qInstallMessageHandler(m_previousHandler);
        qApp->setStyleSheet(QString());
    }

    static QImage grab(QWidget* widget) {
        return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    static void repolish(QWidget* widget) {
        widget->style()->unpolish(widget);
        widget->style()->polish(widget);
    }

    QtMessageHandler m_previousHandler = nullptr;
};

TEST_F(StyleSheetTest, ParsesAndStylesTheClientsWidgetsWithoutWarnings) {
    // Polishing the first widget makes Qt parse the whole sheet; painting a widget of each kind
    // the sheet addresses loads the images and applies the rules.
    QWidget window;
    window.setObjectName(QStringLiteral("MainWindow"));
    window.resize(640, 400);
    for (const char* name : {"Close", "Resize", "Min", "About", "MenuAlarm", "MenuSetting",
                             "GrabButton", "RecordButton"}) {
        (new QPushButton(&window))->setObjectName(QLatin1String(name));
    }
    (new QLabel(QStringLiteral("Calorview"), &window))->setObjectName(QStringLiteral("Title"));
    (new QWidget(&window))->setObjectName(QStringLiteral("Line"));
    (new QWidget(&window))->setObjectName(QStringLiteral("AlarmItem"));
    QDialog about;
    about.setObjectName(QStringLiteral("DlgAbout"));
    (new QLabel(QStringLiteral("Version"), &about))->setObjectName(QStringLiteral("label"));
    window.show();
    about.show();
    grab(&window);
    grab(&about);

    EXPECT_TRUE(g_warnings.isEmpty()) << g_warnings.join(QLatin1Char('\n')).toStdString();
}

TEST_F(StyleSheetTest, EveryImageItNamesIsStaged) {
    const QString sheet = QString::fromLocal8Bit(readStaged(QStringLiteral("Skin/kvs.qss")));
    const QRegularExpression url(QStringLiteral(R"re(url\(\s*"?([^")\s]+)"?\s*\))re"));
    int count = 0;
    for (const QRegularExpressionMatch& match : url.globalMatch(sheet)) {
        const QString path = match.captured(1);
        EXPECT_FALSE(QImage(path).isNull()) << path.toStdString() << " does not load";
        ++count;
    }
    EXPECT_GT(count, 0);
}

TEST_F(StyleSheetTest, DynamicPropertiesSwitchTheLook) {
    const struct {
        const char* objectName;
        const char* property;
        QSize size;
    } cases[] = {
        {"Resize", "max", {20, 20}},             // maximise glyph vs restore glyph
        {"RecordButton", "working", {100, 25}},  // idle vs recording
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.objectName);
        QWidget window;
        window.setObjectName(QStringLiteral("MainWindow"));
        auto* button = new QPushButton(&window);
        button->setObjectName(QLatin1String(c.objectName));
        button->resize(c.size);
        window.show();
        const QImage absent = grab(button);

        button->setProperty(c.property, false);
        repolish(button);
        const QImage off = grab(button);
        button->setProperty(c.property, true);
        repolish(button);
        const QImage on = grab(button);

        EXPECT_EQ(off, absent) << "before the first toggle the property is not set yet";
        EXPECT_NE(on, off);
    }
}

TEST_F(StyleSheetTest, TitleBarButtonsShowALightGlyphOnTheDarkBar) {
    for (const char* name : {"Close", "Resize", "Min", "About"}) {
        SCOPED_TRACE(name);
        QWidget window;
        window.setObjectName(QStringLiteral("MainWindow"));
        auto* button = new QPushButton(&window);
        button->setObjectName(QLatin1String(name));
        button->resize(20, 20);
        window.show();
        const QImage image = grab(button);
        int light = 0;
        int dark = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const int lightness = QColor(image.pixel(x, y)).lightness();
                light += lightness > 150 ? 1 : 0;
                dark += lightness < 60 ? 1 : 0;
            }
        }
        EXPECT_GT(light, 4) << "no glyph";
        EXPECT_GT(dark, image.width() * image.height() / 2) << "the button is not dark";
    }
}

TEST_F(StyleSheetTest, SurfacesAreDarkAndTextIsLight) {
    const struct {
        const char* objectName;
        bool dialog;
    } cases[] = {{"MainWindow", false},
                 {"VideoWindow", false},
                 {"SettingWindow", false},
                 {"AlarmItem", false},
                 {"DlgAbout", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.objectName);
        std::unique_ptr<QWidget> surface(c.dialog ? new QDialog : new QWidget);
        surface->setObjectName(QLatin1String(c.objectName));
        surface->resize(120, 80);
        auto* label = new QLabel(QStringLiteral("Setting"), surface.get());
        label->move(60, 60);
        surface->show();
        const QImage image = grab(surface.get());
        EXPECT_LT(QColor(image.pixel(10, 10)).lightness(), 50);
        EXPECT_GT(label->palette().color(QPalette::WindowText).lightness(), 180);
    }
}

// ---- Images ----

TEST(StagedImages, LoadAtTheirSizesAndAreNotBlank) {
    const struct {
        const char* file;
        QSize size;
    } cases[] = {
        {"Skin/logo.png", {150, 50}},       {"Skin/mainicon.png", {256, 256}},
        {"Skin/alert_error.png", {30, 30}}, {"Skin/alert_correctness.png", {30, 30}},
        {"Skin/close.png", {20, 20}},       {"Skin/min.png", {20, 20}},
        {"Skin/max.png", {20, 20}},         {"Skin/restore.png", {20, 20}},
        {"Skin/menu.png", {20, 20}},        {"Skin/arrow_down.png", {10, 6}},
        {"Skin/arrow_up.png", {10, 6}},     {"Skin/check_off.png", {16, 16}},
        {"Skin/check_on.png", {16, 16}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QImage image(staged(QLatin1String(c.file)));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), c.size);
        EXPECT_TRUE(image.hasAlphaChannel()) << "drawn on a transparent background";
        int visible = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                visible += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
            }
        }
        EXPECT_GT(visible, 4);
    }
}

// ---- Alarm sound ----

struct Wave {
    quint16 format = 0;
    quint16 channels = 0;
    quint32 sampleRate = 0;
    quint32 byteRate = 0;
    quint16 blockAlign = 0;
    quint16 bitsPerSample = 0;
    QList<qint16> samples;
};

// Walks the RIFF chunks as a player does; nullopt when the structure is broken.
std::optional<Wave> parseWave(const QByteArray& bytes) {
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE" ||
        qFromLittleEndian<quint32>(bytes.constData() + 4) !=
            static_cast<quint32>(bytes.size()) - 8) {
        return std::nullopt;
    }
    Wave wave;
    bool haveFormat = false;
    bool haveData = false;
    qsizetype at = 12;
    while (at + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(at, 4);
        const quint32 size = qFromLittleEndian<quint32>(bytes.constData() + at + 4);
        const char* body = bytes.constData() + at + 8;
        if (at + 8 + static_cast<qsizetype>(size) > bytes.size()) {
            return std::nullopt;
        }
        if (id == "fmt " && size >= 16) {
            wave.format = qFromLittleEndian<quint16>(body);
            wave.channels = qFromLittleEndian<quint16>(body + 2);
            wave.sampleRate = qFromLittleEndian<quint32>(body + 4);
            wave.byteRate = qFromLittleEndian<quint32>(body + 8);
            wave.blockAlign = qFromLittleEndian<quint16>(body + 12);
            wave.bitsPerSample = qFromLittleEndian<quint16>(body + 14);
            haveFormat = true;
        } else if (id == "data" && haveFormat && size % 2 == 0) {
            for (quint32 i = 0; i < size; i += 2) {
                wave.samples.append(qFromLittleEndian<qint16>(body + i));
            }
            haveData = true;
        }
        at += 8 + size + (size % 2);
    }
    if (!haveFormat || !haveData || at != bytes.size()) {
        return std::nullopt;
    }
    return wave;
}

TEST(StagedAlarmSound, IsSixteenBitMonoPcmAt44100Hertz) {
    const std::optional<Wave> wave = parseWave(readStaged(QStringLiteral("alarm1.wav")));
    ASSERT_TRUE(wave.has_value());
    EXPECT_EQ(wave->format, 1);
    EXPECT_EQ(wave->channels, 1);
    EXPECT_EQ(wave->sampleRate, 44100u);
    EXPECT_EQ(wave->bitsPerSample, 16);
    EXPECT_EQ(wave->blockAlign, 2);
    EXPECT_EQ(wave->byteRate, 88200u);
}

TEST(StagedAlarmSound, IsAShortAudibleTwoToneAlarm) {
    const std::optional<Wave> wave = parseWave(readStaged(QStringLiteral("alarm1.wav")));
    ASSERT_TRUE(wave.has_value());
    const QList<qint16>& pcm = wave->samples;
    const double seconds = static_cast<double>(pcm.size()) / 44100.0;
    EXPECT_GE(seconds, 0.5);
    EXPECT_LE(seconds, 1.5);

    int peak = 0;
    for (qint16 sample : pcm) {
        peak = std::max(peak, std::abs(static_cast<int>(sample)));
    }
    EXPECT_GT(peak, 32767 * 4 / 10) << "too quiet to be heard as an alarm";
    EXPECT_LT(peak, 32767) << "clipped";
    // It is played in loops: both ends near silence, or every repeat starts with a click.
    EXPECT_LT(std::abs(pcm.first()), 1000);
    EXPECT_LT(std::abs(pcm.last()), 1000);

    // Pitch of each 50 ms window from its rising zero crossings; an alarm alternates two tones.
    constexpr int kWindow = 44100 / 20;
    QList<double> pitches;
    for (qsizetype start = 0; start + kWindow <= pcm.size(); start += kWindow) {
        int rising = 0;
        for (qsizetype i = start + 1; i < start + kWindow; ++i) {
            rising += (pcm[i - 1] < 0 && pcm[i] >= 0) ? 1 : 0;
        }
        pitches.append(rising * 20.0);
    }
    const auto [low, high] = std::minmax_element(pitches.begin(), pitches.end());
    EXPECT_GE(*low, 300.0);
    EXPECT_LE(*high, 3000.0);
    EXPECT_GT(*high / *low, 1.1) << "a single tone";
}

// ---- Translation ----

class StagedTranslation : public testing::Test {
protected:
    void SetUp() override {
        // Loaded the way start-up loads it: a path with empty directory, delimiters and suffix.
        ASSERT_TRUE(m_translator.load(staged(QStringLiteral("Lang/kvs_zh.qm")), QString(),
                                      QString(), QString()));
    }
    QTranslator m_translator;
};

TEST_F(StagedTranslation, TranslatesTheClientsTextsInTheirClassContexts) {
    const struct {
        const char* context;
        const char* source;
        const char* chinese;
    } cases[] = {
        {"MainWindow", "Live", "实时"},
        {"MainWindow", "Setting", "设置"},
        {"MainWindow", "Help", "帮助"},
        {"AlarmWindow", "Snapshot", "抓拍"},
        {"AlarmWindow", "DiskFreeSpace Not Enough", "磁盘剩余空间不足"},
        {"SettingWindow", "High Temp Alarm", "高温报警"},
        {"SettingWindow", "Setting changed!", "设置已更改！"},
        {"DlgAbout", "Version", "版本"},
        {"OSDWindow", "Recording", "录像中"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(m_translator.translate(c.context, c.source), QString::fromUtf8(c.chinese))
            << c.context << " / " << c.source;
    }
    // A text is found only in its own class's context.
    EXPECT_TRUE(m_translator.translate("SettingWindow", "Snapshot succeed!").isEmpty());
}

struct Message {
    QString context;
    QString source;
    QString translation;
};

QList<Message> readTranslationSource() {
    QFile file(kTranslationSource);
    QList<Message> messages;
    if (!file.open(QIODevice::ReadOnly)) {
        return messages;
    }
    QXmlStreamReader xml(&file);
    QString context;
    Message message;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("message")) {
            message = Message{context, QString(), QString()};
        } else if (xml.name() == QLatin1String("source")) {
            message.source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            const bool unfinished =
                xml.attributes().value(QLatin1String("type")) == QLatin1String("unfinished");
            message.translation = unfinished ? QString() : xml.readElementText();
            messages.append(message);
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return messages;
}

TEST_F(StagedTranslation, AnswersEveryMessageOfItsSource) {
    const QList<Message> messages = readTranslationSource();
    ASSERT_GT(messages.size(), 30);
    for (const Message& m : messages) {
        EXPECT_FALSE(m.translation.isEmpty()) << "untranslated: " << m.source.toStdString();
        EXPECT_EQ(m_translator.translate(m.context.toUtf8(), m.source.toUtf8()), m.translation)
            << m.context.toStdString() << " / " << m.source.toStdString();
    }
}

TEST_F(StagedTranslation, KeepsWhatTheCodeReliesOn) {
    const QRegularExpression placeholder(QStringLiteral(R"(%\d)"));
    const QRegularExpression filter(QStringLiteral(R"(\(\*\.[^)]*\))"));
    for (const Message& m : readTranslationSource()) {
        SCOPED_TRACE(m.source.toStdString());
        // Arguments filled in with arg() and the patterns of a file-dialog filter survive.
        for (const QRegularExpression& kept : {placeholder, filter}) {
            for (const QRegularExpressionMatch& match : kept.globalMatch(m.source)) {
                EXPECT_TRUE(m.translation.contains(match.captured(0)));
            }
        }
    }
    // The manual ships under one file name; Help looks it up by its translated name.
    EXPECT_EQ(m_translator.translate("MainWindow", "Operation Manual.pdf"),
              QStringLiteral("Operation Manual.pdf"));
}

}  // namespace
