// The letterbox rule, in one place for every output that shows the picture (the renderer's
// picture, the overlay's clock and rectangle): where a picture lies, its aspect kept, as large as
// fits and centred in an area, bars on two sides. Pure.
#pragma once

#include <QRect>
#include <QSize>

// The picture's place in an area whose top-left pixel is (0, 0); empty when the picture or the
// area has no size. Sizes are rounded down, the bars split with the odd pixel on the far side.
QRect LetterboxRect(QSize picture, QSize area);
