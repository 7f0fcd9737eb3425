// The composer's fields, the stamp option, the clear button and the draft.
#include "ui/composer.h"

#include "protocol/postexchange.h"
#include "ui/busystate.h"
#include "ui/directory.h"
#include "ui/files.h"
#include "ui/previewwindow.h"
#include "ui/widgets/clicklabel.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QTimer>

namespace {

// Within a second of the last keystroke the draft is on disk, whatever ends the program then.
constexpr int draftDelayMs = 500;
constexpr qint64 draftCapBytes = 64 * 1024; // a title and a body are far less

} // namespace

Composer::Composer(const ComposerControls &controls, Directory &directory, BusyState &busy, Dialogs &dialogs,
                   const Clock &clock, const ServerEndpoint &server, QObject *parent)
    : QObject(parent)
    , m_controls(controls)
    , m_directory(directory)
    , m_busy(busy)
    , m_dialogs(dialogs)
    , m_clock(clock)
    , m_server(server)
    , m_postExchange(new PostExchange(this))
    , m_draftTimer(new QTimer(this))
{
    m_postExchange->setObjectName(QStringLiteral("postExchange"));
    m_draftTimer->setObjectName(QStringLiteral("draftTimer"));
    m_draftTimer->setSingleShot(true);
    m_draftTimer->setInterval(draftDelayMs);
    connectControls();
}

void Composer::connectControls()
{
    const ComposerControls &c = m_controls;
    connect(c.title, &LineEdit::gotFocus, c.title, &LineEdit::selectAll);
    connect(c.title, &LineEdit::returnPressed, c.body, [this] { m_controls.body->setFocus(); });
    connect(c.body, &PlainTextEdit::returnPressed, this, &Composer::breakLine);
    connect(c.stampOption, &PictureButton::clicked, this, &Composer::toggleStamp);
    connect(c.stampLabel, &ClickLabel::clicked, this, &Composer::toggleStamp);
    connect(c.bold, &PictureButton::clicked, this, [this] { togglePairedTag(PairedTag::Bold); });
    connect(c.underline, &PictureButton::clicked, this, [this] { togglePairedTag(PairedTag::Underline); });
    connect(c.italic, &PictureButton::clicked, this, [this] { togglePairedTag(PairedTag::Italic); });
    connect(c.link, &PictureButton::clicked, this, &Composer::insertLink);
    connect(c.image, &PictureButton::clicked, this, &Composer::insertImage);
    connect(c.preview, &PictureButton::clicked, this, &Composer::showPreview);
    connect(c.clear, &PictureButton::clicked, this, &Composer::clearMessage);
    connect(c.post, &PictureButton::clicked, this, &Composer::postMessage);

    // The post's sending belongs to the connect event; its endings are handled
    // once their signals have returned, as a box runs an event loop of its own.
    connect(m_postExchange, &PostExchange::connected, this, &Composer::sendPost);
    connect(m_postExchange, &PostExchange::sent, this, &Composer::onPostSent, Qt::QueuedConnection);
    connect(m_postExchange, &PostExchange::failed, this, &Composer::onPostFailed, Qt::QueuedConnection);

    const auto edited = [this] {
        m_cleared.reset();
        if (!m_draftFile.isEmpty())
            m_draftTimer->start();
    };
    connect(c.title, &LineEdit::textChanged, this, edited);
    connect(c.body, &PlainTextEdit::textChanged, this, edited);
    connect(m_draftTimer, &QTimer::timeout, this, &Composer::saveDraft);

    // Nothing typed or pasted is cut off without a word.
    connect(c.title, &LineEdit::inputRejected, this, [this] {
        showMessage(tr("Only the first %1 characters fit in the title.").arg(m_controls.title->maxLength()),
                    Dialogs::Information);
    });
    connect(c.body, &PlainTextEdit::limitReached, this, [this] {
        showMessage(tr("Only the first %1 characters fit in the message body.").arg(m_controls.body->maxLength()),
                    Dialogs::Information);
    });
    c.body->setPastedLineBreak(QStringLiteral("<br>\r\n")); // as Enter makes it
    c.title->installEventFilter(this);
    c.body->installEventFilter(this);
}

// Ctrl+Z in either field right after Clear brings the message back.
bool Composer::eventFilter(QObject *watched, QEvent *event)
{
    if (m_cleared && event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->matches(QKeySequence::Undo)) {
        const auto [title, body] = *std::exchange(m_cleared, std::nullopt);
        m_controls.title->setText(title);
        m_controls.body->setText(body);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void Composer::setPostLimitMs(int ms)
{
    m_postExchange->setLimitMs(ms);
}

void Composer::stop()
{
    m_postExchange->cancel();
    if (m_draftTimer->isActive()) {
        m_draftTimer->stop();
        saveDraft();
    }
    if (m_previewWindow)
        m_previewWindow->close();
}

void Composer::showMessage(const QString &text, Dialogs::Icon icon)
{
    m_dialogs.message(text, icon, tr("Tavernly"));
}

// Enter in the body writes an HTML line break as well as a real one.
void Composer::breakLine()
{
    // Past the body's limit nothing goes in: the body is never cut.
    if (!m_controls.body->replaceSelection(QStringLiteral("<br>\r\n")))
        QApplication::beep();
}

void Composer::toggleStamp()
{
    m_stampWanted = !m_stampWanted;
    m_controls.stampOption->setPicture(m_stampWanted ? m_controls.checkDown : m_controls.checkUp);
    m_controls.stampOption->setChecked(m_stampWanted); // what assistive tools read
}

void Composer::clearMessage()
{
    const std::pair<QString, QString> message{m_controls.title->text(), m_controls.body->text()};
    m_controls.title->setText(QString());
    m_controls.body->setText(QString());
    if (!message.first.isEmpty() || !message.second.isEmpty())
        m_cleared = message;
    dropDraft();
    m_controls.title->setFocus();
}

void Composer::setDataFolder(const QString &folder)
{
    m_draftFile = QDir(folder).filePath(QStringLiteral("draft.json"));
    QFile file(m_draftFile);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject draft = QJsonDocument::fromJson(file.read(draftCapBytes)).object();
    // The fields' own limits apply as they do to typing.
    m_controls.title->setText(draft.value(QStringLiteral("title")).toString());
    m_controls.body->setText(draft.value(QStringLiteral("body")).toString());
    m_draftTimer->stop(); // what was just read is on disk already
}

void Composer::saveDraft()
{
    const QString title = m_controls.title->text();
    const QString body = m_controls.body->text();
    if (title.isEmpty() && body.isEmpty()) {
        dropDraft();
        return;
    }
    if (!QDir().mkpath(QFileInfo(m_draftFile).path()))
        return;
    const QJsonObject draft{{QStringLiteral("title"), title}, {QStringLiteral("body"), body}};
    writeBytesFile(m_draftFile, QJsonDocument(draft).toJson());
}

void Composer::dropDraft()
{
    m_draftTimer->stop();
    if (!m_draftFile.isEmpty())
        QFile::remove(m_draftFile);
}
