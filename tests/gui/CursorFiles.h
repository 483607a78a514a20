#pragma once
// Windows cursor and icon files made byte by byte for the pointer tests: one square 32-bit image with
// its AND mask, a hot spot of our choice.

#include <QByteArray>
#include <QString>
#include <QtEndian>

namespace quarvel::test {

inline void appendLe16(QByteArray& out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

inline void appendLe32(QByteArray& out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

// type 2: a cursor whose first entry holds the hot spot; type 1: an icon.
inline QByteArray cursorFileBytes(int size, int hotX, int hotY, quint16 type = 2)
{
    QByteArray image;
    appendLe32(image, 40);
    appendLe32(image, quint32(size));
    appendLe32(image, quint32(size * 2));
    appendLe16(image, 1);
    appendLe16(image, 32);
    for (int i = 0; i < 6; ++i)
        appendLe32(image, 0);
    // Rows bottom-up, as a bitmap stores them.
    for (int y = size - 1; y >= 0; --y)
        for (int x = 0; x < size; ++x) {
            const bool on = x == y || x == 0; // a visible shape: a diagonal and the left edge
            image.append(on ? QByteArray("\x00\x00\x00\xff", 4) : QByteArray("\x00\x00\x00\x00", 4));
        }
    const int maskRow = (size + 31) / 32 * 4;
    image.append(QByteArray(maskRow * size, '\0'));

    QByteArray file;
    appendLe16(file, 0);
    appendLe16(file, type);
    appendLe16(file, 1);
    file.append(char(size >= 256 ? 0 : size));
    file.append(char(size >= 256 ? 0 : size));
    file.append('\0');
    file.append('\0');
    appendLe16(file, type == 2 ? quint16(hotX) : 1);
    appendLe16(file, type == 2 ? quint16(hotY) : 32);
    appendLe32(file, quint32(image.size()));
    appendLe32(file, 22);
    return file + image;
}

} // namespace quarvel::test
