#pragma once
// Turning a list reply into directory entries.

#include <QStringList>
#include <QStringView>

// The non-empty "*"-separated fields of reply, in reply order, taken whole
// (no trimming). One linear pass; unlike NthField there is no length limit.
QStringList directoryNames(QStringView reply);
