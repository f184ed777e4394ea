// SPDX-License-Identifier: GPL-3.0-or-later
#include "install/Installer.h"

#include "base/AgentLog.h"
#include "download/PartFile.h"
#include "install/InstallFolder.h"

using namespace Qt::StringLiterals;

Installer::Installer(StateFile *stateFile)
    : m_record(stateFile)
{
}

bool Installer::isInstalled(const QString &code, const ProductUpdate &update) const
{
    return m_record.isInstalled(code, update.id, update.version);
}

QString Installer::whyNoRoom(const QString &folder, qint64 size) const
{
    QString why;
    return InstallFolder(folder).canReceive(size, &why) ? QString() : why;
}

QList<ProductUpdate> Installer::pending(const Product &product, const QList<ProductUpdate> &listed)
{
    return m_record.pending(product, listed);
}

void Installer::removeStaleDownloads(const QStringList &folders) const
{
    for (const QString &folder : folders)
        InstallFolder(folder).removeStaleDownloads();
}

Installer::Outcome Installer::install(const QString &code, const QString &folder,
                                      const ProductUpdate &update, PartFile &part)
{
    Outcome outcome;
    if (!part.confirm(update.size, update.sha256, &outcome.error)) {
        qCWarning(lcDownload).noquote() << "not installing" << AgentLog::cut(update.id) << "-"
                                        << outcome.error;
        part.remove();
        return outcome;
    }
    outcome.target = InstallFolder(folder).moveInto(part.path(), update.fileName, &outcome.error);
    if (outcome.target.isEmpty())
        return outcome;
    part.forget();
    qCInfo(lcInstall).noquote() << AgentLog::cut(update.id) << "installed as"
                                << AgentLog::cut(outcome.target);
    outcome.kind = m_record.record(code, update.id, update.version, outcome.target, &outcome.error)
                       ? Outcome::Installed
                       : Outcome::NotRecorded;
    return outcome;
}
