// SPDX-License-Identifier: GPL-3.0-or-later
#include "StatusHint.h"

#include "ShownText.h"

using namespace Qt::StringLiterals;

namespace {

// A service's text on one line of bounded length.
QString oneLine(const QString &text)
{
    QString line = ShownText(text);
    for (QChar &c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u' ';
    }
    return line;
}

QString feedReason(const QVariantMap &status)
{
    const QString problem = status.value(u"problem"_s).toString();
    if (!problem.isEmpty())
        return problem;
    const QString state = status.value(u"feedState"_s).toString();
    if (state == u"expired"_s)
        return u"the accepted feed expired at "_s + status.value(u"acceptedExpires"_s).toString();
    if (state == u"none"_s || state == u"unchecked"_s)
        return u"no feed of the product was accepted"_s;
    return {};
}

} // namespace

namespace StatusHint {

QString notConnected(const QVariantMap &status, const QString &strProdCode)
{
    const QString reason = feedReason(status);
    if (reason.isEmpty())
        return {};
    return u"kelvarra: "_s + oneLine(reason) + u" (more: palvane-updates status "_s + strProdCode
           + u')';
}

QString notStarted(const QVariantMap &status, const QString &name)
{
    if (status.isEmpty())
        return {};
    QString reason = status.value(u"installDirProblem"_s).toString();
    for (const QVariant &entry : status.value(u"updates"_s).toList()) {
        const QVariantMap update = entry.toMap();
        if (!reason.isEmpty() || update.value(u"name"_s).toString() != name)
            continue;
        const QString state = update.value(u"state"_s).toString();
        if (state == u"installed"_s || state == u"downloading"_s)
            reason = u"it is "_s + state;
    }
    if (reason.isEmpty())
        reason = u"the update service gives no reason"_s;
    return u"kelvarra: "_s + oneLine(name) + u" cannot be downloaded now: "_s + oneLine(reason);
}

} // namespace StatusHint
