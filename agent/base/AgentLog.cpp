// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/AgentLog.h"

#include "base/WriteAll.h"
#include "base/XdgDirs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcCore, "palvane.agent.core", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBus, "palvane.agent.bus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcConfig, "palvane.agent.config", QtInfoMsg)
Q_LOGGING_CATEGORY(lcFeeds, "palvane.agent.feeds", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDownload, "palvane.agent.download", QtInfoMsg)
Q_LOGGING_CATEGORY(lcInstall, "palvane.agent.install", QtInfoMsg)

namespace {

bool journal = false;

bool needsEscape(char16_t c)
{
    // Control characters, the Unicode line and paragraph separators, and the
    // direction overrides that can make a line read as something else.
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029
           || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

const char *priorityPrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "<7>";
    case QtInfoMsg:
        return "<6>";
    case QtWarningMsg:
        return "<4>";
    case QtCriticalMsg:
        return "<3>";
    case QtFatalMsg:
        return "<2>";
    }
    return "<6>";
}

// Whether standard error is a log file of our own, set once at start; its
// size so far, under the mutex.
bool ownFile = false;
std::mutex fileMutex;
qint64 fileBytes = 0;

// Opens the log file onto standard error; false when it cannot be.
bool openOntoStderr(const QByteArray &path, QString *error)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                          0600);
    struct stat st = {};
    const bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
                    && ::dup2(fd, STDERR_FILENO) == STDERR_FILENO;
    if (!ok)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
    if (ok)
        fileBytes = qint64(st.st_size);
    return ok;
}

void writeLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray text = AgentLog::line(type, context, message, journal) + '\n';
    if (ownFile) {
        const std::lock_guard lock(fileMutex);
        if (fileBytes + text.size() > AgentLog::RotateBytes) {
            // One old file kept; a line that cannot go to a new file goes
            // on to the old one.
            const QByteArray path = QFile::encodeName(AgentLog::logFile());
            QString error;
            if (::rename(path.constData(), QByteArray(path + ".old").constData()) != 0
                || !openOntoStderr(path, &error))
                fileBytes = 0;
        }
        fileBytes += text.size();
    }
    // One write per line, so lines from several threads never interleave.
    writeAll(STDERR_FILENO, text);
}

void logToFileWhenActivated()
{
    if (qEnvironmentVariableIsEmpty("DBUS_STARTER_BUS_TYPE") || journal || ::isatty(STDERR_FILENO))
        return;
    const QString path = AgentLog::logFile();
    QString error = QDir().mkpath(QFileInfo(path).path()) ? QString() : u"cannot make its folder"_s;
    const QByteArray before = "palvane-update-agent: logging to " + QFile::encodeName(path) + '\n';
    const int saved = ::dup(STDERR_FILENO);
    if (error.isEmpty() && openOntoStderr(QFile::encodeName(path), &error)) {
        ownFile = true;
        if (saved >= 0)
            writeAll(saved, before);
    } else {
        qCWarning(lcCore).noquote() << "cannot log to" << path << "-"
                                    << error + u"; logging to standard error"_s;
    }
    if (saved >= 0)
        ::close(saved);
}

} // namespace

QString AgentLog::cut(QStringView text, qsizetype limit)
{
    if (text.size() <= limit)
        return text.toString();
    const qsizetype end = text.at(limit - 1).isHighSurrogate() ? limit - 1 : limit;
    return text.first(end) % u'…';
}

QString AgentLog::escaped(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (c == u'\\')
            out += u"\\\\"_s;
        else if (c == u'\n')
            out += u"\\n"_s;
        else if (c == u'\r')
            out += u"\\r"_s;
        else if (c == u'\t')
            out += u"\\t"_s;
        else if (!needsEscape(c))
            out += ch;
        else if (c <= 0xff)
            out += u"\\x"_s + QString::number(c, 16).rightJustified(2, u'0');
        else
            out += u"\\u"_s + QString::number(c, 16).rightJustified(4, u'0');
    }
    return out;
}

bool AgentLog::isJournalStream(const QByteArray &journalStream, int fd)
{
    const QList<QByteArray> parts = journalStream.split(':');
    if (parts.size() != 2)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = parts[0].toULongLong(&deviceOk);
    const qulonglong inode = parts[1].toULongLong(&inodeOk);
    struct stat status = {};
    return deviceOk && inodeOk && ::fstat(fd, &status) == 0 && status.st_dev == device
           && status.st_ino == inode;
}

QByteArray AgentLog::line(QtMsgType type, const QMessageLogContext &context,
                          const QString &message, bool journal)
{
    const QByteArray text =
        qFormatLogMessage(type, context, escaped(cut(message, MessageChars))).toUtf8();
    return journal ? priorityPrefix(type) + text : text;
}

void AgentLog::install()
{
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(u"palvane-update-agent: %{if-category}%{category}: %{endif}"
                           "%{if-warning}warning: %{endif}%{if-critical}error: %{endif}%{message}"_s);
    journal = isJournalStream(qgetenv("JOURNAL_STREAM"), STDERR_FILENO);
    qInstallMessageHandler(writeLine);
    logToFileWhenActivated();
}

QString AgentLog::logFile()
{
    return XdgDirs::stateHome() + u"/palvane/agent.log"_s;
}
