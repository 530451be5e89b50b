// Whether an INI file could hold a value that QSettings decodes through QDataStream.
//
// QSettings reads a value written as "@Variant(...)" or "@DateTime(...)" as a serialised object,
// trusting the element counts inside (a few bytes asked for 48 GB) and building whatever
// registered type the bytes name, images included. This program writes only text, numbers and
// booleans (QSettings doubles a leading '@' of text), so a file that could hold such a value was
// edited by hand or damaged, and is not given to QSettings.
#pragma once

#include <QByteArrayView>
#include <QString>

// True when `text` could unescape to a value containing "Variant(" or "DateTime(" (either case).
// Numeric escapes ("\x56", "\126") are decoded as QSettings decodes them; quotes, NULs and every
// other escape are taken out first, as they may stand between the letters. False positives are
// possible (such words in an ordinary value, a file that is not INI at all); misses are not.
bool MayHoldStoredObject(QByteArrayView text);

// The same for the file at `path`; false when it cannot be read (QSettings then reads nothing).
bool FileMayHoldStoredObject(const QString& path);
