#include "app/DlgAbout.h"

#include <QCoreApplication>
#include <QLabel>
#include <QSettings>

namespace {

// Shown when "CompileInfo.ini" or its key is missing.
constexpr char kDefaultVersion[] = "V1.000.0000000.1.T.200717";

}  // namespace

DlgAbout::DlgAbout(QWidget* parent, const QString& appDir) : QDialog(parent) {
    setObjectName("DlgAbout");
    setWindowModality(Qt::ApplicationModal);
    resize(425, 123);
    auto* label = new QLabel(this);
    label->setObjectName("label");
    label->setGeometry(30, 20, 371, 81);
    // The main window retitles it "About" right after construction.
    setWindowTitle(tr("DlgAbout"));

    const QString dir = appDir.isEmpty() ? QCoreApplication::applicationDirPath() : appDir;
    const QSettings info(dir + "/CompileInfo.ini", QSettings::IniFormat);
    const QString version =
        info.value("CompileInfo/CompileVersion", QString::fromLatin1(kDefaultVersion)).toString();
    label->setText(tr("Calorview Version ") + version);
}
