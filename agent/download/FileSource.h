// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "download/PayloadSource.h"

// A payload on the local file system (file:// address). The bytes are
// copied in the kernel where the file systems allow it.
class FileSource : public PayloadSource
{
    Q_OBJECT

public:
    explicit FileSource(const QString &path, QObject *parent = nullptr);
    ~FileSource() override;

    void start() override;
    qint64 bytesAvailable() const override;
    qint64 copyTo(PartFile &part, qint64 maxSize, QString *error) override;
    bool isFinished() const override;
    QString errorText() const override { return m_error; }
    void abort() override;
private:
    qint64 read(char *data, qint64 maxSize);
    void advance(qint64 n);

    QString m_path;
    int m_fd = -1;
    qint64 m_size = 0;     // as found when opened; a file that grows later is not followed
    qint64 m_position = 0;
    bool m_kernelCopy = true;
    QString m_error;
};
