// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/FeedMarks.h"

#include "base/StateFile.h"

using namespace Qt::StringLiterals;

namespace {

const QString FeedsKey = u"feeds"_s;

} // namespace

FeedMarks::FeedMarks(StateFile *file)
    : m_file(file)
{
}

FeedMarks::Mark FeedMarks::mark(const QString &code) const
{
    const QJsonObject mark =
        m_file->load().value_or(QJsonObject()).value(FeedsKey).toObject().value(code.toUpper()).toObject();
    return {mark.value(u"serial"_s).toInteger(0),
            QByteArray::fromHex(mark.value(u"sha256"_s).toString().toLatin1())};
}

bool FeedMarks::record(const QString &code, const Mark &mark, QString *error)
{
    std::optional<QJsonObject> root = m_file->load();
    if (!root) {
        *error = u"the unreadable "_s % m_file->path() % u" is in the way"_s;
        return false;
    }
    QJsonObject feeds = root->value(FeedsKey).toObject();
    feeds.insert(code.toUpper(), QJsonObject{
                                     {u"serial"_s, mark.serial},
                                     {u"sha256"_s, QString::fromLatin1(mark.sha256.toHex())},
                                 });
    root->insert(FeedsKey, feeds);
    return m_file->save(*root, error);
}
