#pragma once
// The preview page: the message as one forum entry, a two-row table.

#include <QString>

QString previewPage(const QString &title, const QString &body);
