#include "app/DlgAbout.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>

#include "platform/AppFolders.h"
#include "settings/CompileInfo.h"

DlgAbout::DlgAbout(QWidget* parent, const QString& appDir) : QDialog(parent) {
    setObjectName("DlgAbout");
    setWindowModality(Qt::ApplicationModal);
    resize(425, 123);
    auto* label = new QLabel(this);
    label->setObjectName("label");
    label->setGeometry(30, 20, 371, 81);
    // The main window retitles it "About" right after construction.
    setWindowTitle(tr("DlgAbout"));

    label->setText(tr("Calorview Version ") + CompileVersion(appDir));

    // Where this run keeps its settings and data, under the version line: the dialog grows for it.
    const AppFolders& folders = AppFolders::Current();
    auto* where = new QLabel(this);
    where->setObjectName("label_Folders");
    where->setGeometry(30, 100, 371, 60);
    where->setWordWrap(true);
    where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    where->setText(
        tr("Settings: %1\nData: %2")
            .arg(QDir::toNativeSeparators(QFileInfo(folders.settingsFile).absoluteFilePath()),
                 QDir::toNativeSeparators(QDir::currentPath())));
    resize(425, 175);
}
