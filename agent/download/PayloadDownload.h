// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "download/PartFile.h"
#include "download/Transfer.h"
#include "feeds/ProductUpdate.h"
#include "service/Contract.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <memory>
#include <mutex>

class FileHasher;
class Network;

// One update's payload into a verified hidden file of the install folder:
// made from a delta against the file in place when the feed lists one for
// it, and otherwise, or when anything about the delta fails, downloaded
// whole, all in one go and with one outcome.
class PayloadDownload : public QObject
{
    Q_OBJECT

public:
    PayloadDownload(const ProductUpdate &update, const QString &folder, FileHasher *hasher,
                    Network *network, const Transfer::Settings &settings,
                    QObject *parent = nullptr);
    ~PayloadDownload() override;

    void start();
    // Stops and removes every partial file; finished() is not emitted.
    void cancel();
    // Stops, keeping the whole payload's partial file for a later download.
    void abandon();
    // Stops, removes the partial files and reports the failure.
    void fail(Contract::DownloadResult result, const QString &reason);

    qint64 elapsedMs() const { return m_clock.isValid() ? m_clock.elapsed() : 0; }
    // Once finished() reported success: the verified file, for the installer.
    PartFile &partFile();
    bool holdsFile() const;
    // Removes the verified file if it was not installed.
    void discard();

Q_SIGNALS:
    // What the bytes of progressed() count up to: a delta's size while one
    // downloads, the payload's otherwise.
    void expecting(qint64 total);
    void progressed(qint64 bytes);
    void waiting(int seconds);
    void holding(qint64 bytes);
    void finished(Contract::DownloadResult result, const QString &reason);

private:
    void tryDelta(const QByteArray &inPlace);
    void onDeltaDownloaded(Contract::DownloadResult result, const QString &reason);
    void decode();
    void onDecoded(const QByteArray &sha256, const QString &error);
    void downloadWhole(const QString &deltaFailure);
    // Starts downloading `what` (the payload or a delta) into m_transfer.
    void startTransfer(const ProductUpdate &what,
                       void (PayloadDownload::*onFinished)(Contract::DownloadResult, const QString &));
    void stopDecoding();
    QString inPlacePath() const;

    ProductUpdate m_update;
    QString m_folder;
    FileHasher *m_hasher;
    Network *m_network;
    Transfer::Settings m_settings;
    QElapsedTimer m_clock;
    // The delta's download, then the whole payload's if it comes to that.
    QPointer<Transfer> m_transfer;
    // What the delta is decoded into; the verified file when it worked.
    PartFile m_decoded;
    bool m_fromDelta = false;
    // What the decoding thread shares with this object.
    struct Decoding
    {
        std::mutex mutex;
        std::atomic_bool stop{false};
        bool abandoned = false;
    };
    std::shared_ptr<Decoding> m_decoding;
    ProductUpdate::Delta m_delta;
};
