#pragma once
// Splits a fuzzer's bytes into the texts a target needs.

#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>

// The input cut at NUL bytes into UTF-8 texts (at most `count`, the rest empty).
inline QList<QString> fuzzTexts(const uint8_t *data, size_t size, int count)
{
    QList<QString> texts;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QByteArray &piece : bytes.split('\0')) {
        if (texts.size() == count)
            break;
        texts.append(QString::fromUtf8(piece));
    }
    while (texts.size() < count)
        texts.append(QString());
    return texts;
}
