#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Where the bytes of a download come from. The transfer pulls from it at its
// own pace, which is how the rate limit holds back a fast source.
class PayloadSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void start() = 0;
    virtual qint64 bytesAvailable() const = 0;
    virtual QByteArray read(qint64 maxSize) = 0;
    // No more data will come: the end was reached or the source failed.
    virtual bool isFinished() const = 0;
    // Empty unless the source failed.
    virtual QString errorText() const = 0;
    virtual void abort() = 0;

Q_SIGNALS:
    void readyRead();
    void finished();
};
