#pragma once
// A clock that always tells the same moment, under chosen regional settings.

#include "ui/clock.h"

class FixedClock : public Clock
{
public:
    QDateTime moment = QDateTime(QDate(2026, 12, 7), QTime(15, 4, 5));
    QLocale regional = QLocale(QLocale::English, QLocale::UnitedStates);

    QDateTime now() const override { return moment; }
    QLocale locale() const override { return regional; }
};
