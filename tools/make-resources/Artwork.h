// The client's pictures, painted with QPainter on transparent images: the title-bar logo, the
// window icon, the two toast icons and the small glyphs the style sheet puts on buttons, check
// boxes, the combo box and the spin box.
#pragma once

#include <QImage>

class Artwork {
public:
    enum class Glyph {
        Close,
        Minimise,
        Maximise,
        Restore,
        Menu,
        ArrowDown,
        ArrowUp,
        CheckOff,
        CheckOn
    };

    static QImage logo();              // 150 x 50: emblem and the product name
    static QImage mainIcon();          // 256 x 256: the emblem alone
    static QImage alertError();        // 30 x 30: red disc with a cross
    static QImage alertCorrectness();  // 30 x 30: green disc with a tick
    static QImage glyph(Glyph glyph);  // 20 x 20 buttons, 10 x 6 arrows, 16 x 16 check boxes
};
