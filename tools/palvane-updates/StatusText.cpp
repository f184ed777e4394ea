// SPDX-License-Identifier: GPL-3.0-or-later
#include "StatusText.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace StatusText {

namespace {

QString text(const QVariantMap &map, const QString &key)
{
    return oneLine(map.value(key).toString());
}

QString home(const QString &path)
{
    const QString dir = QDir::homePath();
    return path.startsWith(dir + u'/') ? u"~"_s + path.mid(dir.size()) : path;
}

} // namespace

QString oneLine(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\\')
            out += u"\\\\"_s;
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += u"\\x"_s + QString::number(c.unicode(), 16).rightJustified(2, u'0');
        else
            out += c;
    }
    return out;
}

QString size(qint64 bytes)
{
    if (bytes < 1024)
        return QString::number(bytes) + u" B"_s;
    if (bytes < 1024 * 1024)
        return QString::number(double(bytes) / 1024, 'f', 1) + u" KiB"_s;
    return QString::number(double(bytes) / (1024 * 1024), 'f', 1) + u" MiB"_s;
}

QList<QVariantMap> updates(const QVariantMap &status)
{
    QList<QVariantMap> list;
    for (const QVariant &entry : status.value(u"updates"_s).toList())
        list.append(entry.toMap());
    return list;
}

QList<QVariantMap> offered(const QVariantMap &status)
{
    QList<QVariantMap> list;
    for (const QVariantMap &update : updates(status)) {
        const QString state = update.value(u"state"_s).toString();
        if (state != u"installed"_s && state != u"heldBack"_s)
            list.append(update);
    }
    return list;
}

bool feedFailed(const QVariantMap &status)
{
    const QString state = status.value(u"feedState"_s).toString();
    return state == u"refused"_s || state == u"unreachable"_s;
}

QStringList problems(const QVariantMap &status)
{
    QStringList out;
    const QString code = text(status, u"code"_s);
    const QString productFile = text(status, u"productFile"_s);
    const QString state = status.value(u"feedState"_s).toString();
    const QString problem = text(status, u"problem"_s);
    if (state == u"refused"_s)
        out << problem + u". The feed did not pass the agent's checks: if it persists, tell the "
                         u"product's vendor, who can check it with `palvane-feed verify FEED --product "_s
                   + productFile + u"`."_s;
    else if (state == u"unreachable"_s)
        out << problem + u". Check the network, and the feed address in "_s + productFile
                   + u", then run `palvane-updates check "_s + code + u"`."_s;
    else if (state == u"expired"_s)
        out << u"the accepted feed expired at "_s + text(status, u"acceptedExpires"_s)
                   + u" and no newer one arrived: run `palvane-updates check "_s + code
                   + u"`; if it stays so, the vendor must publish a newly signed feed."_s;
    else if (state == u"unchecked"_s)
        out << u"the feed was not fetched yet: run `palvane-updates check "_s + code + u"`."_s;
    else if (state == u"none"_s)
        out << u"no feed was accepted yet: run `palvane-updates check "_s + code + u"`."_s;
    if (!status.value(u"installDirWritable"_s).toBool()) {
        const QString dir = text(status, u"installDir"_s);
        const QString why = text(status, u"installDirProblem"_s);
        const bool plainWhy = why == u"the install folder "_s + dir + u" is not writable"_s;
        out << u"the install folder "_s + dir + u" is not writable by you"_s
                   + (plainWhy || why.isEmpty() ? QString() : u" ("_s + why + u')')
                   + u": the product file's installDir ("_s
                   + productFile + u") must be a folder you can write, such as ~/.local/share/"_s
                   + QFileInfo(dir).fileName() + u'.';
    }
    for (const QVariantMap &update : updates(status)) {
        if (update.value(u"state"_s).toString() == u"failed"_s)
            out << u"the last download of "_s + text(update, u"id"_s) + u" failed: "_s
                       + text(update, u"text"_s);
    }
    return out;
}

QString readable(const QVariantMap &status)
{
    QString out;
    const QStringList wrong = problems(status);
    for (const QString &line : wrong)
        out += u"Problem: "_s + line + u'\n';
    if (!wrong.isEmpty())
        out += u'\n';
    out += u"Product:        "_s + text(status, u"name"_s) + u' ' + text(status, u"code"_s) + u'\n';
    out += u"Product file:   "_s + text(status, u"productFile"_s) + u'\n';
    for (const QString &feed : status.value(u"feeds"_s).toStringList())
        out += u"Feed address:   "_s + oneLine(feed) + u'\n';
    out += u"Feed state:     "_s + text(status, u"feedState"_s)
           + (status.value(u"fetching"_s).toBool() ? u" (fetching now)"_s : QString()) + u'\n';
    if (status.contains(u"acceptedSerial"_s))
        out += u"Accepted feed:  serial "_s + text(status, u"acceptedSerial"_s) + u", expires "_s
               + text(status, u"acceptedExpires"_s) + u", from "_s + text(status, u"acceptedFrom"_s)
               + u'\n';
    else
        out += u"Accepted feed:  none\n"_s;
    const QString checked = text(status, u"lastChecked"_s);
    out += u"Last checked:   "_s + (checked.isEmpty() ? u"never, in this agent's run"_s : checked)
           + u'\n';
    const QString problem = text(status, u"problem"_s);
    if (!problem.isEmpty())
        out += u"Last problem:   "_s + problem + u'\n';
    out += u"Install folder: "_s + home(text(status, u"installDir"_s))
           + (status.value(u"installDirWritable"_s).toBool() ? u" (writable)"_s
                                                             : u" (not writable)"_s)
           + u'\n';
    const QList<QVariantMap> list = updates(status);
    out += u"Updates:        "_s + (list.isEmpty() ? u"none\n"_s : u"\n"_s);
    for (const QVariantMap &update : list) {
        QString state = text(update, u"state"_s);
        if (state == u"downloading"_s)
            state += u", "_s + size(update.value(u"bytes"_s).toLongLong()) + u" so far"_s;
        else if (state == u"heldBack"_s)
            state = text(update, u"text"_s);
        out += u"  "_s + text(update, u"id"_s) + u"  "_s + text(update, u"name"_s) + u"  version "_s
               + text(update, u"version"_s) + u"  "_s + size(update.value(u"size"_s).toLongLong())
               + u"  "_s + state + u'\n';
    }
    return out;
}

QString summary(const QVariantMap &status)
{
    return text(status, u"code"_s) + u"  "_s + text(status, u"name"_s) + u"  feed "_s
           + text(status, u"feedState"_s) + u"  "_s + QString::number(offered(status).size())
           + u" update(s) offered"_s;
}

QJsonObject json(const QVariantMap &status)
{
    QJsonObject out = QJsonObject::fromVariantMap(status);
    QJsonArray list;
    for (const QVariantMap &update : updates(status))
        list.append(QJsonObject::fromVariantMap(update));
    out[u"updates"_s] = list;
    out[u"offered"_s] = int(offered(status).size());
    return out;
}

} // namespace StatusText
