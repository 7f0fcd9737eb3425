#pragma once
// The current local date and time and the user's regional settings.

#include <QDateTime>
#include <QLocale>

class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const { return QDateTime::currentDateTime(); }
    virtual QLocale locale() const { return QLocale::system(); }
};
