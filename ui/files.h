#pragma once
// The application's folder and text-file output.

#include <QString>

QString applicationFolder();

// The user's cache folder for this program (it may not exist yet), or empty.
QString userCacheFolder();

// The user's data folder for this program (it may not exist yet), or empty.
QString userDataFolder();

// Creates or truncates path and writes text as UTF-8, all or nothing.
// On failure returns false and leaves the reason in *error when given.
bool writeTextFile(const QString &path, const QString &text, QString *error = nullptr);

// Creates or truncates path and writes bytes, all or nothing (a reader sees
// the old file or the new one, whatever ends the program meanwhile).
bool writeBytesFile(const QString &path, const QByteArray &bytes);
