#include "FileSource.h"

#include <QFileInfo>
#include <QTimer>

using namespace Qt::StringLiterals;

FileSource::FileSource(const QString &path, QObject *parent)
    : PayloadSource(parent)
    , m_file(path)
{
}

void FileSource::start()
{
    if (QFileInfo(m_file.fileName()).isDir())
        m_error = m_file.fileName() % u" is a folder"_s;
    else if (!m_file.open(QIODevice::ReadOnly))
        m_error = u"cannot open "_s % m_file.fileName() % u" ("_s % m_file.errorString() % u')';
    // Report from the event loop, like a network source would.
    QTimer::singleShot(0, this, [this] {
        if (m_error.isEmpty())
            Q_EMIT readyRead();
        else
            Q_EMIT finished();
    });
}

qint64 FileSource::bytesAvailable() const
{
    return m_file.isOpen() ? m_file.bytesAvailable() : 0;
}

QByteArray FileSource::read(qint64 maxSize)
{
    QByteArray data = m_file.read(maxSize);
    if (m_error.isEmpty() && m_file.error() != QFileDevice::NoError)
        m_error = u"cannot read "_s % m_file.fileName() % u" ("_s % m_file.errorString() % u')';
    return data;
}

bool FileSource::isFinished() const
{
    return !m_error.isEmpty() || !m_file.isOpen() || m_file.atEnd();
}

void FileSource::abort()
{
    m_file.close();
}
