// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/Product.h"
#include "service/Contract.h"
#include "bus/OwnedObject.h"
#include "download/ProgressMeter.h"
#include "install/ArchiveTree.h"
#include "install/Installer.h"

#include <QDBusMessage>
#include <QPointer>

#include <optional>

class PayloadDownload;
struct AgentContext;

// One update a client can download and install. Its events go out from its
// own object path.
class ItemObject : public OwnedObject
{
    Q_OBJECT

public:
    enum class State { Idle, Downloading, Downloaded, Installing, Installed };

    ItemObject(AgentContext *context, const Product &product, const ProductUpdate &update,
               const QString &owner, QObject *parent = nullptr);
    ~ItemObject() override;

    State state() const { return m_state; }

public Q_SLOTS:
    QString GetName(int n);
    void Cancel();
    short PrepareDownload(short b);
    void Execute();
    QString GetText(int n);

Q_SIGNALS:
    void OnDownloadBegin();
    void OnProgressChanged(int nBytes, int nPercent, const QString &strTransferRate,
                           const QString &strTimeRemaining);
    void OnDownloadComplete(int nResultCode);

private:
    enum class Hold { None, Downloading, Downloaded, Installing, Installed, Claimed };
    Hold hold(QString *why) const;
    QString roomRefusal() const;
    QString claimKey() const;
    void release();
    void startDownload();
    void beginDownload(PayloadDownload *transfer);
    void onProgress(qint64 bytes);
    void onFinished(Contract::DownloadResult result, const QString &reason);
    void startUnpack();
    void onUnpacked(const ArchiveTree::Unpacked &result);
    void complete(Contract::DownloadResult result, const QString &reason);
    void stopUnpack();
    void emitProgress();
    void install();
    QDBusMessage installed(const Installer::Outcome &outcome, const QDBusMessage &request);
    QString failureText(const QString &reason) const;
    void refuse(const char16_t *name, const QString &text);

    AgentContext *m_context;
    QString m_productCode;
    QString m_productName;
    QString m_installDir;
    ProductUpdate m_update;
    State m_state = State::Idle;
    QString m_failure;
    QPointer<PayloadDownload> m_transfer;
    // An archive being unpacked before its download completes, and then
    // the tree's name in the install folder.
    QPointer<ArchiveUnpack> m_unpack;
    QString m_unpacked;
    std::optional<ProgressMeter> m_meter;
    qint64 m_lastReportMs = 0;
    bool m_claimed = false;
};
