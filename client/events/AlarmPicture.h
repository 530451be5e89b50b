// An alarm snapshot as the picture topic carries it: the PNG file's bytes as they are, or, when
// the file is larger than the limit, the picture scaled down until its PNG fits.
//
// Any thread (it reads a file and may encode a PNG: tens of milliseconds for a large picture).
#pragma once

#include <QByteArray>
#include <QString>

class AlarmPicture {
public:
    QByteArray png;  // empty when the file could not be read or decoded (`error` says why)
    int width = 0;
    int height = 0;
    bool scaled = false;
    qint64 fileBytes = 0;
    QString error;

    static AlarmPicture Load(const QString& path, qint64 maxBytes);
};
