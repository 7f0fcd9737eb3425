#pragma once
// Turning a list reply into directory entries.

#include <QStringList>
#include <QStringView>

// The non-empty "*"-separated fields of reply, in reply order, taken whole
// (no trimming). One linear pass, with no limit on the reply's length.
QStringList directoryNames(QStringView reply);
