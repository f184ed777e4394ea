// SPDX-License-Identifier: GPL-3.0-or-later
#include "bus/ItemObject.h"

#include "bus/AgentContext.h"
#include "base/AgentLog.h"
#include "download/PayloadDownload.h"
#include "install/Installer.h"
#include "agent_item_adaptor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QTimer>

using namespace Qt::StringLiterals;
using Contract::DownloadResult;

namespace {

// At most ten reports a second, plus the last one.
constexpr qint64 ReportIntervalMs = 100;

} // namespace

ItemObject::ItemObject(AgentContext *context, const Product &product,
                       const ProductUpdate &update, const QString &owner, QObject *parent)
    : OwnedObject(owner, parent)
    , m_context(context)
    , m_productCode(product.code)
    , m_productName(product.name)
    , m_installDir(product.installDir)
    , m_update(update)
{
    new UpdateItemAdaptor(this);
    new UpdateItemEventsAdaptor(this);
}

ItemObject::~ItemObject()
{
    stopUnpack();
    if (!m_unpacked.isEmpty())
        ArchiveTree(m_installDir, m_update.fileName, m_update.version).discard({m_unpacked});
    if (m_transfer) {
        // The client left (or the agent ends): the bytes stay for later.
        if (m_state == State::Downloading) {
            m_transfer->abandon();
            m_context->activity[claimKey()] = {};
        }
        else if (m_state == State::Downloaded || m_state == State::Installing)
            m_transfer->discard();
    }
    release();
}

QString ItemObject::GetName(int)
{
    if (refuseStranger("GetName"))
        return {};
    return m_update.name;
}

QString ItemObject::GetText(int)
{
    if (refuseStranger("GetText"))
        return {};
    return m_failure;
}

short ItemObject::PrepareDownload(short)
{
    if (refuseStranger("PrepareDownload"))
        return Contract::False;
    QString why;
    if (hold(&why) == Hold::None && (why = roomRefusal()).isEmpty())
        return Contract::True;
    qCInfo(lcDownload).noquote() << AgentLog::cut(m_update.id) << "cannot start:" << why;
    return Contract::False;
}

// What keeps a download from starting now, whichever call asks; the room
// in the folder is asked apart, when the download is about to write.
ItemObject::Hold ItemObject::hold(QString *why) const
{
    switch (m_state) {
    case State::Downloading:
        *why = u"it is downloading"_s;
        return Hold::Downloading;
    case State::Downloaded:
        *why = u"it is downloaded already"_s;
        return Hold::Downloaded;
    case State::Installing:
        *why = u"it is being installed"_s;
        return Hold::Installing;
    case State::Installed:
        *why = u"it is installed"_s;
        return Hold::Installed;
    case State::Idle:
        break;
    }
    if (m_context->installer->isInstalled(m_productCode, m_update)) {
        *why = u"it is installed"_s;
        return Hold::Installed;
    }
    if (m_context->claimedUpdates.contains(claimKey())) {
        *why = u"another client is downloading it"_s;
        return Hold::Claimed;
    }
    return Hold::None;
}

QString ItemObject::roomRefusal() const
{
    return m_context->installer->whyNoRoom(m_installDir, m_update);
}

QString ItemObject::claimKey() const
{
    return AgentContext::key(m_productCode, m_update);
}

void ItemObject::release()
{
    if (m_claimed)
        m_context->claimedUpdates.remove(claimKey());
    m_claimed = false;
}

void ItemObject::refuse(const char16_t *name, const QString &text)
{
    sendErrorReply(QString::fromUtf16(name), text);
}

void ItemObject::Execute()
{
    if (refuseStranger("Execute"))
        return;
    const QString quoted = u'"' % m_update.name % u'"';
    QString why;
    switch (hold(&why)) {
    case Hold::Downloading:
        refuse(Contract::Error::InProgress,
               u"The download of "_s % quoted
                   % u" is still running; wait for its end or cancel it."_s);
        return;
    case Hold::Downloaded:
        install();
        return;
    case Hold::Installing:
        refuse(Contract::Error::InProgress, quoted % u" is being installed; wait for the end."_s);
        return;
    case Hold::Installed:
        refuse(Contract::Error::AlreadyInstalled, quoted % u" is installed already."_s);
        return;
    case Hold::Claimed:
        refuse(Contract::Error::Claimed, quoted % u" is being downloaded by another client."_s);
        return;
    case Hold::None:
        break;
    }
    startDownload();
}

void ItemObject::startDownload()
{
    m_context->claimedUpdates.insert(claimKey());
    m_claimed = true;
    m_state = State::Downloading;
    m_failure.clear();
    m_context->activity[claimKey()] = {true, 0, {}};
    auto *transfer = new PayloadDownload(m_update, m_installDir, m_context->hasher,
                                         m_context->network, m_context->transfer, this);
    m_transfer = transfer;
    connect(transfer, &PayloadDownload::progressed, this, &ItemObject::onProgress);
    connect(transfer, &PayloadDownload::finished, this, &ItemObject::onFinished);
    connect(transfer, &PayloadDownload::holding, this, [this](qint64 bytes) {
        m_meter->hold(bytes);
        m_context->activity[claimKey()].bytes = bytes;
    });
    connect(transfer, &PayloadDownload::waiting, this, [this](int seconds) {
        m_lastReportMs = m_transfer->elapsedMs();
        Q_EMIT OnProgressChanged(m_meter->bytesForEvent(), m_meter->percent(),
                                 u"retrying in "_s % QString::number(seconds) % u" s"_s, QString());
    });
    // A delta's bytes while it downloads, the payload's after.
    connect(transfer, &PayloadDownload::expecting, this,
            [this, transfer](qint64 total) { m_meter.emplace(total, transfer->elapsedMs()); });
    // Execute returns at once; the events follow its reply. The start belongs
    // to this transfer: after a Cancel and another Execute it must not start
    // the next one too.
    QTimer::singleShot(0, transfer, [this, transfer] { beginDownload(transfer); });
}

void ItemObject::beginDownload(PayloadDownload *transfer)
{
    if (m_state != State::Downloading || m_transfer != transfer)
        return;
    Q_EMIT OnDownloadBegin();
    m_meter.emplace(m_update.size, 0);
    // What PrepareDownload checks holds here too: a client need not ask.
    if (const QString why = roomRefusal(); !why.isEmpty()) {
        transfer->fail(DownloadResult::LocalFileFailed, Transfer::notSaved(why));
        return;
    }
    transfer->start();
    if (m_state == State::Downloading)
        emitProgress();
}

void ItemObject::onProgress(qint64 bytes)
{
    const qint64 now = m_transfer->elapsedMs();
    m_meter->sample(bytes, now);
    m_context->activity[claimKey()].bytes = bytes;
    if (now - m_lastReportMs >= ReportIntervalMs)
        emitProgress();
}

void ItemObject::emitProgress()
{
    m_lastReportMs = m_transfer ? m_transfer->elapsedMs() : 0;
    Q_EMIT OnProgressChanged(m_meter->bytesForEvent(), m_meter->percent(), m_meter->rateText(),
                             m_meter->timeText());
}

void ItemObject::onFinished(DownloadResult result, const QString &reason)
{
    if (result == DownloadResult::Success && m_update.isArchive()) {
        startUnpack();
        return;
    }
    complete(result, reason);
}

void ItemObject::complete(DownloadResult result, const QString &reason)
{
    if (result == DownloadResult::Success) {
        m_meter->finish(m_transfer->elapsedMs());
        emitProgress();
        m_state = State::Downloaded;
    } else {
        m_transfer->deleteLater();
        m_transfer = nullptr;
        m_state = State::Idle;
        m_failure = failureText(reason);
        release();
    }
    m_context->activity[claimKey()] = {false, result == DownloadResult::Success ? m_update.size : 0,
                                       m_failure};
    Q_EMIT OnDownloadComplete(int(result));
}

// A verified archive is unpacked before its download completes, off this
// thread; the item stays Downloading meanwhile, so Cancel stops it.
void ItemObject::startUnpack()
{
    // Replaced since it was verified, it is not what was verified.
    PartFile &part = m_transfer->partFile();
    QString error;
    const int fd = part.isStill(m_update.size, &error) ? part.duplicate() : -1;
    if (fd < 0) {
        m_transfer->fail(DownloadResult::LocalFileFailed,
                         Transfer::notSaved(error.isEmpty() ? part.changedText() : error));
        return;
    }
    m_unpack = new ArchiveUnpack(ArchiveTree(m_installDir, m_update.fileName, m_update.version), fd,
                                 m_update.unpackedSize, m_installDir, this);
    connect(m_unpack, &ArchiveUnpack::finished, this, &ItemObject::onUnpacked);
}

void ItemObject::onUnpacked(const ArchiveTree::Unpacked &result)
{
    m_unpack->deleteLater();
    m_unpack = nullptr;
    // The tree holds everything now; a refused archive leaves nothing.
    m_transfer->discard();
    if (result.error.isEmpty()) {
        m_unpacked = result.name;
        complete(DownloadResult::Success, QString());
        return;
    }
    qCWarning(lcInstall).noquote() << "refused the archive of" << AgentLog::cut(m_update.id) << "-" << result.error;
    if (result.localFailure)
        complete(DownloadResult::LocalFileFailed, Transfer::notSaved(result.error));
    else
        complete(DownloadResult::ChecksumMismatch,
                 u"The archive cannot be installed: "_s % result.error % u'.');
}

void ItemObject::stopUnpack()
{
    delete m_unpack;
    m_unpack = nullptr;
}

void ItemObject::Cancel()
{
    if (refuseStranger("Cancel"))
        return;
    if (m_state != State::Downloading)
        return;
    stopUnpack();
    m_transfer->cancel();
    m_transfer->deleteLater();
    m_transfer = nullptr;
    m_state = State::Idle;
    m_failure = failureText(u"Download cancelled."_s);
    m_context->activity[claimKey()] = {false, 0, m_failure};
    release();
    qCInfo(lcDownload).noquote() << AgentLog::cut(m_update.id) << "cancelled";
    // After the reply to Cancel, like every other event.
    QTimer::singleShot(0, this, [this] { Q_EMIT OnDownloadComplete(int(DownloadResult::Cancelled)); });
}

void ItemObject::install()
{
    m_state = State::Installing;
    setDelayedReply(true);
    const QDBusMessage request = message();
    QDBusConnection bus = connection();
    if (m_update.isArchive()) {
        // Unpacked and synced already: only renames and a link are left.
        bus.send(installed(m_context->installer->installTree(m_productCode, m_installDir, m_update,
                                                             m_unpacked),
                           request));
        return;
    }
    // The file is read once more before the rename: answered when that ends,
    // while others are served.
    m_context->installer->install(
        m_productCode, m_installDir, m_update, m_transfer->partFile(), this,
        [this, request, bus](const Installer::Outcome &outcome) mutable {
            bus.send(installed(outcome, request));
        });
}

QDBusMessage ItemObject::installed(const Installer::Outcome &outcome, const QDBusMessage &request)
{
    const auto failed = [&request](const QString &text) {
        return request.createErrorReply(QString::fromUtf16(Contract::Error::InstallFailed), text);
    };
    if (outcome.kind == Installer::Outcome::Failed) {
        m_state = State::Downloaded;
        const bool kept = m_update.isArchive() ? QFileInfo(m_installDir % u'/' % m_unpacked).isDir()
                                               : m_transfer->holdsFile();
        if (!kept) {
            // What was verified is gone: the next Execute downloads again.
            m_unpacked.clear();
            m_transfer->deleteLater();
            m_transfer = nullptr;
            m_state = State::Idle;
            release();
        }
        return failed(u"Installing \""_s % m_update.name % u"\" failed: "_s % outcome.error % u'.');
    }
    m_unpacked.clear();
    m_transfer->deleteLater();
    m_transfer = nullptr;
    m_state = State::Installed;
    release();
    if (outcome.kind == Installer::Outcome::NotRecorded)
        return failed(u"\""_s % m_update.name % u"\" is in place but could not be recorded: "_s
                      % outcome.error % u'.');
    return request.createReply();
}

QString ItemObject::failureText(const QString &reason) const
{
    QString text = m_update.failureTemplate;
    text.replace(u"{name}"_s, m_update.name)
        .replace(u"{version}"_s, m_update.version)
        .replace(u"{id}"_s, m_update.id)
        .replace(u"{product}"_s, m_productName)
        .replace(u"{reason}"_s, reason);
    return text;
}
