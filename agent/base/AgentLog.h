// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcCore)
Q_DECLARE_LOGGING_CATEGORY(lcBus)
Q_DECLARE_LOGGING_CATEGORY(lcConfig)
Q_DECLARE_LOGGING_CATEGORY(lcFeeds)
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
Q_DECLARE_LOGGING_CATEGORY(lcInstall)

// The agent's log: one line per message on standard error, whatever the text
// holds, with the journal's priority prefix when standard error is the journal.
namespace AgentLog {

// Longest text from outside (a peer, a server, a file) that a log line
// quotes whole; past it cut() leaves the start and an ellipsis.
constexpr qsizetype QuotedChars = 200;
// Longest message a line carries: only a quoted text that was not cut gets
// a line this long, and then only its start is kept.
constexpr qsizetype MessageChars = 16384;

// `text` as a log line may quote it: at most QuotedChars characters, "…"
// added when it was longer; a surrogate pair is never split.
QString cut(QStringView text, qsizetype limit = QuotedChars);
// Backslashes, control characters and line or direction breaks written as
// escapes, so that no text can end a log line or forge the next one.
QString escaped(QStringView text);
// Whether JOURNAL_STREAM (`device:inode`) names the file open as `fd`.
bool isJournalStream(const QByteArray &journalStream, int fd);
// The whole line for a message, without its newline.
QByteArray line(QtMsgType type, const QMessageLogContext &context, const QString &message,
                bool journal);
// Sets the line pattern (unless QT_MESSAGE_PATTERN does) and routes every
// message, Qt's own included, through line(). Started by the bus itself
// (DBUS_STARTER_BUS_TYPE set) with standard error neither a terminal nor the
// journal, standard error becomes logFile() instead: the bus daemon's is
// read by nobody.
void install();
// $XDG_STATE_HOME/palvane/agent.log; at RotateBytes it becomes
// agent.log.old, replacing the one before.
QString logFile();
constexpr qint64 RotateBytes = 1024 * 1024;

} // namespace AgentLog
