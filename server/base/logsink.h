#pragma once
// How the server's parts hand over their log lines: one line per call, on
// the main thread (the log writer is the main thread's). Lines from other
// threads travel there by queued signals first.

#include <QByteArray>
#include <QString>
#include <functional>

using LogSink = std::function<void(const QString &line)>;

namespace logtext {

// Bytes shown in a log line: control characters replaced, long texts cut.
QString printable(const QByteArray &bytes, qsizetype maxChars = 60);

} // namespace logtext
