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

    explicit ImageView(QWidget* parent = nullptr);

    // Shows the picture at `path` and sizes the dialog to it plus the band. False when the file
    // is missing or not an image; such a dialog is empty and not worth showing.
    bool LoadImage(const QString& path);

    // Whether a press at `pos` (dialog coordinates) drags the dialog: the top band except its
    // right-hand 40 pixels, where the close button is.
    bool IsInDragStrip(const QPoint& pos) const;

    const QPushButton* CloseButton() const { return m_pClose; }
    const QLabel* Picture() const { return m_pPicture; }

public slots:
    void onCloseButtonClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QPushButton* m_pClose;
    QLabel* m_pPicture;
};
