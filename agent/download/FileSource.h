#pragma once

#include "PayloadSource.h"

#include <QFile>

// A payload on the local file system (file:// address).
class FileSource : public PayloadSource
{
    Q_OBJECT

public:
    explicit FileSource(const QString &path, QObject *parent = nullptr);

    void start() override;
    qint64 bytesAvailable() const override;
    QByteArray read(qint64 maxSize) override;
    bool isFinished() const override;
    QString errorText() const override { return m_error; }
    void abort() override;

private:
    QFile m_file;
    QString m_error;
};
