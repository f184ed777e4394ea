// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>

// One update offered by the service. Every operation may fail; a failure is
// thrown as a RuntimeError. Events arrive on the thread that owns the object.
class UpdateItem : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QString GetName(int n) = 0;
    virtual void Cancel() = 0;
    // 16-bit boolean in and out: Contract::True (-1) or Contract::False (0).
    virtual qint16 PrepareDownload(qint16 b) = 0;
    virtual void Execute() = 0;
    virtual QString GetText(int n) = 0;

Q_SIGNALS:
    void OnDownloadBegin();
    void OnProgressChanged(int nBytes, int nPercent, const QString &strTransferRate,
                           const QString &strTimeRemaining);
    void OnDownloadComplete(int nResultCode);
};
