#include "app/DlgAbout.h"

#include <QLabel>

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
}
