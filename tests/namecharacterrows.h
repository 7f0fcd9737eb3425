#pragma once
// The characters a forum name may hold: one table for the client's check
// and the server's, so the two can never disagree.

#include "protocol/namecharacters.h"

#include <QTest>

Q_DECLARE_METATYPE(NameCharacters)

inline void addNameCharacterRows()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<NameCharacters>("characters");
    const auto ok = NameCharacters::Ok;
    const auto invisible = NameCharacters::Invisible;
    QTest::newRow("family emoji") << QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467") << ok;
    QTest::newRow("flag with selector and joiner") << QStringLiteral("\U0001F3F3\uFE0F\u200D\U0001F308") << ok;
    QTest::newRow("skin tone and joiner") << QStringLiteral("\U0001F469\U0001F3FD\u200D\U0001F4BB") << ok;
    QTest::newRow("words and an emoji") << QStringLiteral("Ale \U0001F37A Tasting") << ok;
    QTest::newRow("right-to-left override") << QStringLiteral("abc\u202Etxt.exe") << invisible;
    QTest::newRow("isolate") << QStringLiteral("a\u2067b\u2069") << invisible;
    QTest::newRow("left-to-right mark") << QStringLiteral("Ale\u200E") << invisible;
    QTest::newRow("zero-width space") << QStringLiteral("Wel\u200Bcome") << invisible;
    QTest::newRow("joiner between letters") << QStringLiteral("Ale\u200DHouse") << invisible;
    QTest::newRow("joiner after an emoji, before a letter") << QStringLiteral("\U0001F37A\u200Da") << invisible;
    QTest::newRow("joiner at the end") << QStringLiteral("\U0001F37A\u200D") << invisible;
    QTest::newRow("word joiner") << QStringLiteral("Ale\u2060House") << invisible;
    QTest::newRow("soft hyphen") << QStringLiteral("Ale\u00ADHouse") << invisible;
    QTest::newRow("region's flag") << QString::fromUcs4(U"\U0001F3F4\U000E0067\U000E0062\U000E0073\U000E0063\U000E0074\U000E007F") << ok;
    QTest::newRow("flag's tag letters without their end")
        << QString::fromUcs4(U"\U0001F3F4\U000E0067\U000E0062\U000E0073") << invisible;
    QTest::newRow("tag letters after a word") << QString::fromUcs4(U"Ale\U000E0067\U000E0062\U000E007F") << invisible;
    QTest::newRow("language tag") << QStringLiteral("Ale") + QString::fromUcs4(U"\U000E0001") << invisible;
    QTest::newRow("byte order mark") << QStringLiteral("Ale\uFEFFHouse") << invisible;
    QTest::newRow("tab") << QStringLiteral("Ale\tHouse") << NameCharacters::Control;
    QTest::newRow("C1 next line") << QStringLiteral("Ale\u0085") << NameCharacters::Control;
}
