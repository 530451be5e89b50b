#include "settings/StoredObjectCheck.h"

#include <QByteArray>
#include <QFile>
#include <cstring>

namespace {

// The digit's value in a numeric escape, or -1.
int digitValue(char c, bool hex) {
    if (c >= '0' && c <= (hex ? '9' : '7')) {
        return c - '0';
    }
    if (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
        return (c | 0x20) - 'a' + 10;
    }
    return -1;
}

}  // namespace

bool MayHoldStoredObject(QByteArrayView text) {
    // The text with quotes and escapes applied, lower case; a character that cannot be part of
    // the two words stands as 0x80. NULs are left out: "@String(...)" may interleave them.
    QByteArray plain;
    plain.reserve(text.size());
    const auto keep = [&plain](char32_t c) {
        if (c != 0) {
            plain += c >= 0x80 ? '\x80' : c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c);
        }
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            continue;
        }
        if (c != '\\') {
            keep(static_cast<unsigned char>(c));
            continue;
        }
        if (++i == text.size()) {
            break;
        }
        const char escaped = text[i];
        const bool hex = escaped == 'x';
        if (hex || digitValue(escaped, false) >= 0) {
            // QSettings takes every digit that follows and keeps the low 16 bits; "\x" without a
            // digit stands for nothing.
            qsizetype next = hex ? i + 1 : i;
            char32_t value = 0;
            for (int digit; next < text.size() && (digit = digitValue(text[next], hex)) >= 0;
                 ++next) {
                value = (value << (hex ? 4 : 3)) + char32_t(digit);
            }
            keep(value & 0xffff);
            i = next - 1;
            continue;
        }
        // QSettings' named escapes stand for a character that is not a letter, so one splits
        // the words; an unknown escape stands for nothing. A backslash before a line break
        // continues the line, "\r\n" being one break.
        if (std::strchr("abfnrtv\"?'\\", escaped) != nullptr && escaped != '\0') {
            keep(0x80);
            continue;
        }
        const bool lineBreak = escaped == '\n' || escaped == '\r';
        if (lineBreak && i + 1 < text.size() && (text[i + 1] == '\n' || text[i + 1] == '\r') &&
            text[i + 1] != escaped) {
            ++i;
        }
    }
    return plain.contains("variant(") || plain.contains("datetime(");
}

bool FileMayHoldStoredObject(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && MayHoldStoredObject(file.readAll());
}
