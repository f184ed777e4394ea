// SPDX-License-Identifier: GPL-3.0-or-later
#include "ItemObject.h"

#include "AgentContext.h"
#include "AgentErrors.h"
#include "AgentLog.h"
#include "InstallFolder.h"
#include "InstallRecord.h"
#include "Transfer.h"
#include "agent_item_adaptor.h"

#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

constexpr short True = -1;
constexpr short False = 0;
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
    if (m_transfer) {
        if (m_state == State::Downloading)
            m_transfer->cancel();
        else if (m_state == State::Downloaded)
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
        return False;
    const QString why = whyNotStartable();
    if (why.isEmpty())
        return True;
    qCInfo(lcDownload).noquote() << m_update.id << "cannot start:" << why;
    return False;
}

QString ItemObject::whyNotStartable() const
{
    switch (m_state) {
    case State::Downloading:
        return u"it is downloading"_s;
    case State::Downloaded:
        return u"it is downloaded already"_s;
    case State::Installed:
        return u"it is installed"_s;
    case State::Idle:
        break;
    }
    if (installed())
        return u"it is installed"_s;
    if (m_context->claimedUpdates.contains(claimKey()))
        return u"another client is downloading it"_s;
    QString why;
    if (!InstallFolder(m_installDir).canReceive(m_update.size, &why))
        return why;
    return {};
}

bool ItemObject::installed() const
{
    return m_context->installRecord->isInstalled(m_productCode, m_update.id, m_update.version);
}

QString ItemObject::claimKey() const
{
    return m_productCode.toUpper() % u'/' % m_update.id;
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
    switch (m_state) {
    case State::Downloading:
        refuse(AgentErrors::InProgress, u"The download of "_s % quoted
                                            % u" is still running; wait for its end or cancel it."_s);
        return;
    case State::Downloaded:
        install();
        return;
    case State::Installed:
        refuse(AgentErrors::AlreadyInstalled, quoted % u" is installed already."_s);
        return;
    case State::Idle:
        break;
    }
    if (installed()) {
        refuse(AgentErrors::AlreadyInstalled, quoted % u" is installed already."_s);
        return;
    }
    if (m_context->claimedUpdates.contains(claimKey())) {
        refuse(AgentErrors::Claimed, quoted % u" is being downloaded by another client."_s);
        return;
    }
    startDownload();
}

void ItemObject::startDownload()
{
    m_context->claimedUpdates.insert(claimKey());
    m_claimed = true;
    m_state = State::Downloading;
    m_failure.clear();
    m_transfer = new Transfer(m_update, m_installDir, m_context->network, m_context->transfer, this);
    connect(m_transfer, &Transfer::progressed, this, &ItemObject::onProgress);
    connect(m_transfer, &Transfer::finished, this, &ItemObject::onFinished);
    // Execute returns at once; the events follow its reply.
    QTimer::singleShot(0, this, &ItemObject::beginDownload);
}

void ItemObject::beginDownload()
{
    if (m_state != State::Downloading || !m_transfer)
        return;
    Q_EMIT OnDownloadBegin();
    m_meter.emplace(m_update.size, 0);
    m_transfer->start();
    if (m_state == State::Downloading)
        emitProgress();
}

void ItemObject::onProgress(qint64 bytes)
{
    const qint64 now = m_transfer->elapsedMs();
    m_meter->sample(bytes, now);
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
    Q_EMIT OnDownloadComplete(int(result));
}

void ItemObject::Cancel()
{
    if (refuseStranger("Cancel"))
        return;
    if (m_state != State::Downloading)
        return;
    m_transfer->cancel();
    m_transfer->deleteLater();
    m_transfer = nullptr;
    m_state = State::Idle;
    m_failure = failureText(u"Download cancelled."_s);
    release();
    qCInfo(lcDownload).noquote() << m_update.id << "cancelled";
    // After the reply to Cancel, like every other event.
    QTimer::singleShot(0, this, [this] { Q_EMIT OnDownloadComplete(int(DownloadResult::Cancelled)); });
}

void ItemObject::install()
{
    QString error;
    const QString target = m_transfer->install(&error);
    if (target.isEmpty()) {
        if (!m_transfer->holdsFile()) {
            // What was verified is gone: the next Execute downloads again.
            m_transfer->deleteLater();
            m_transfer = nullptr;
            m_state = State::Idle;
            release();
        }
        refuse(AgentErrors::InstallFailed, u"Installing \""_s % m_update.name % u"\" failed: "_s
                                               % error % u'.');
        return;
    }
    m_transfer->deleteLater();
    m_transfer = nullptr;
    m_state = State::Installed;
    release();
    qCInfo(lcInstall).noquote() << m_update.id << "installed as" << target;
    if (!m_context->installRecord->record(m_productCode, m_update.id, m_update.version, target,
                                          &error)) {
        refuse(AgentErrors::InstallFailed, u"\""_s % m_update.name
                                               % u"\" is in place but could not be recorded: "_s
                                               % error % u'.');
    }
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
