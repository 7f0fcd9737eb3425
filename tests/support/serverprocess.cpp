#include "serverprocess.h"

#include "peakmemory.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

#include <csignal>
#include <sys/prctl.h>

ServerProcess::ServerProcess(Log log)
{
    if (log == Log::Kept)
        m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("server.log")));
    else
        m_process.setStandardErrorFile(QProcess::nullDevice());
    // The server goes with the test or bench, however that ends.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

ServerProcess::~ServerProcess()
{
    stop(15000);
}

bool ServerProcess::start(const QString &binary, const QStringList &arguments, QString *error,
                          const QString &dataDir, int timeoutMs)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    m_ports = {};
    m_process.start(binary, QStringList(arguments)
                                << QStringLiteral("--data")
                                << (dataDir.isEmpty() ? m_dir.filePath(QStringLiteral("data")) : dataDir)
                                << QStringLiteral("--list-port") << QStringLiteral("0")
                                << QStringLiteral("--create-port") << QStringLiteral("0")
                                << QStringLiteral("--post-port") << QStringLiteral("0")
                                << QStringLiteral("--http-port") << QStringLiteral("0"));
    static const QRegularExpression listening(QStringLiteral(
        "^listening list=(\\d+) create=(\\d+) post=(\\d+) http=(\\d+)(?: metrics=(\\d+))?\n"));
    // A large database may take a moment to open.
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray out;
    while (!out.contains('\n')) {
        if (deadline.hasExpired() || !m_process.waitForReadyRead(int(deadline.remainingTime())))
            return fail(QStringLiteral("the server did not start: %1").arg(QString::fromUtf8(log())));
        out += m_process.readAllStandardOutput();
    }
    const auto match = listening.match(QString::fromUtf8(out));
    if (!match.hasMatch())
        return fail(QStringLiteral("unexpected first line: %1").arg(QString::fromUtf8(out)));
    m_ports = {match.captured(1).toUShort(), match.captured(2).toUShort(),
               match.captured(3).toUShort(), match.captured(4).toUShort(),
               match.captured(5).toUShort()};
    return true;
}

qint64 ServerProcess::peakMemoryKiB() const
{
    return kit::peakMemoryKiB(m_process.processId());
}

bool ServerProcess::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    m_process.terminate();
    if (!m_process.waitForFinished(timeoutMs)) {
        kill();
        return false;
    }
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

void ServerProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), SIGKILL);
    m_process.waitForFinished(10000);
}

QByteArray ServerProcess::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
