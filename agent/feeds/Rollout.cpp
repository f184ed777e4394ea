// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/Rollout.h"

#include "base/AgentLog.h"
#include "base/AtomicFile.h"
#include "base/BoundedFile.h"
#include "base/Sha256.h"
#include "base/XdgDirs.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtEndian>

#include <cctype>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Made beside the final name and linked to it: link() never replaces, so two
// agents starting at once end up with the same id.
bool createOnce(const QString &path, const QByteArray &content, QString *error)
{
    QString why;
    if (!AtomicFile::makeFolder(QFileInfo(path).path(), &why)) {
        *error = why;
        return false;
    }
    QByteArray temporary = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data()); // mode 0600
    if (fd < 0) {
        *error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size()
                         && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    const bool linked = written && ::link(temporary.constData(), QFile::encodeName(path).constData()) == 0;
    const int linkError = errno;
    ::unlink(temporary.constData());
    if (!written || (!linked && linkError != EEXIST)) {
        *error = QString::fromLocal8Bit(strerror(written ? linkError : saved));
        return false;
    }
    AtomicFile::syncFolder(QFileInfo(path).path());
    return true;
}

QByteArray randomId()
{
    QByteArray bytes(16, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes.toHex();
}

} // namespace

std::optional<QByteArray> Rollout::readId(const QString &path)
{
    const std::optional<QByteArray> content = BoundedFile::read(path, 4096);
    if (!content)
        return std::nullopt;
    const QByteArray line = content->left(content->indexOf('\n'));
    if (line.size() != 32)
        return std::nullopt;
    for (const char c : line) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    }
    return line.toLower();
}

QString Rollout::defaultFallbackFile()
{
    return XdgDirs::stateHome() + u"/palvane/rollout-id"_s;
}

Rollout Rollout::load(const QString &machineIdFile, const QString &fallbackFile)
{
    if (const std::optional<QByteArray> id = readId(machineIdFile))
        return Rollout(*id);
    if (const std::optional<QByteArray> id = readId(fallbackFile))
        return Rollout(*id);
    QString error;
    if (createOnce(fallbackFile, randomId() + '\n', &error)) {
        if (const std::optional<QByteArray> id = readId(fallbackFile)) {
            qCInfo(lcFeeds).noquote() << "no machine id in" << AgentLog::cut(machineIdFile)
                                      << "- rollouts use the one in" << AgentLog::cut(fallbackFile);
            return Rollout(*id);
        }
        error = u"it does not hold 32 hexadecimal digits"_s;
    }
    qCWarning(lcFeeds).noquote() << "no machine id in" << AgentLog::cut(machineIdFile) << "and"
                                 << AgentLog::cut(fallbackFile) << "cannot be made -"
                                 << AgentLog::cut(error) << "- rollouts draw anew in this run";
    return Rollout(randomId());
}

int Rollout::bucket(const QString &code, const ProductUpdate &update) const
{
    const QByteArray message = "palvane-rollout\n" + code.toUpper().toUtf8() + '\n'
                               + update.id.toUtf8() + '\n' + update.version.toUtf8();
    const QByteArray digest = Sha256::hmac(m_machineId, message);
    return int(qFromBigEndian<quint32>(digest.constData()) % Buckets);
}

QString Rollout::holdsBack(const QString &code, const ProductUpdate &update) const
{
    if (update.rollout >= Buckets)
        return {};
    const int drawn = bucket(code, update);
    if (drawn < update.rollout)
        return {};
    return u"held back by its rollout: bucket "_s % QString::number(drawn) % u" is not below "_s
           % QString::number(update.rollout);
}
