// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class PartFile;

// Where the bytes of a download come from. The transfer pulls from it at its
// own pace, which is how the rate limit holds back a fast source.
class PayloadSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void start() = 0;
    virtual qint64 bytesAvailable() const = 0;
    // The most one copyTo should move, given what the transfer suggests.
    virtual qint64 chunkBytes(qint64 suggested) const { return suggested; }
    // Moves up to maxSize bytes into part and returns how many; 0 when the
    // source had none (a source failure shows in errorText), -1 with *error
    // set when part could not take them.
    virtual qint64 copyTo(PartFile &part, qint64 maxSize, QString *error) = 0;
    // No more data will come: the end was reached or the source failed.
    virtual bool isFinished() const = 0;
    // Empty unless the source failed.
    virtual QString errorText() const = 0;
    virtual void abort() = 0;

    // Whether its failure may pass when tried again, and after how many
    // seconds the server asked for (0 when it did not say).
    virtual bool isTransient() const { return false; }
    virtual int retryAfterSeconds() const { return 0; }
    // Where in the payload its bytes start, once some are available; -1
    // when the server would not continue the bytes held.
    virtual qint64 offset() const { return 0; }
    // What the server said identifies the bytes it sent, for If-Range.
    virtual QByteArray validator() const { return {}; }

Q_SIGNALS:
    void readyRead();
    void finished();
};
