// SPDX-License-Identifier: GPL-3.0-or-later
#include "NumberText.h"

QString NumberText(qint64 n)
{
    return QString::number(n);
}

qint64 RoundedKilobytes(qint32 nBytes)
{
    // Floor division keeps the remainder in [0, 1024) for negative values too.
    const qint64 bytes = nBytes;
    qint64 quotient = bytes / 1024;
    qint64 remainder = bytes % 1024;
    if (remainder < 0) {
        quotient -= 1;
        remainder += 1024;
    }
    if (remainder > 512 || (remainder == 512 && quotient % 2 != 0))
        quotient += 1;
    return quotient;
}
