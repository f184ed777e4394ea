// SPDX-License-Identifier: GPL-3.0-or-later
#include "PayloadSource.h"

#include "PartFile.h"

qint64 PayloadSource::copyTo(PartFile &part, qint64 maxSize, QString *error)
{
    if (m_buffer.size() < maxSize)
        m_buffer.resize(qsizetype(maxSize));
    const qint64 n = read(m_buffer.data(), maxSize);
    if (n <= 0)
        return 0;
    return part.append(m_buffer.constData(), n, error) ? n : -1;
}
