// Frameless viewer of one alarm snapshot at full size, with a close button in the top-right
// corner; the rest of the top 40 pixels drags it. GUI thread only, like every widget.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class ImageView : public QDialog {
    Q_OBJECT

public:
    // Height of the band above the picture; the close button sits in its right end.
    static constexpr int kTopBand = 40;
    static constexpr int kKeepWidth = 72;

    explicit ImageView(QWidget* parent = nullptr);

    // Shows the picture at `path` and sizes the dialog to it plus the band. False when the file
    // is missing or not an image; such a dialog is empty and not worth showing.
    bool LoadImage(const QString& path);
    // Shows the Keep button in the band, checked when the picture's episode is kept; each press
    // toggles it and emits keepToggled.
    void ShowKeep(bool kept);

    // Whether a press at `pos` (dialog coordinates) drags the dialog: the top band except its
    // right-hand end, where the close (and Keep) buttons are.
    bool IsInDragStrip(const QPoint& pos) const;

    const QPushButton* CloseButton() const { return m_pClose; }
    const QLabel* Picture() const { return m_pPicture; }
    QPushButton* KeepButton() const { return m_pKeep; }

signals:
    void keepToggled(bool keep);

public slots:
    void onCloseButtonClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QPushButton* m_pClose;
    QLabel* m_pPicture;
    QPushButton* m_pKeep = nullptr;  // made by ShowKeep
};
