// SPDX-License-Identifier: GPL-3.0-or-later
#include "ShownText.h"

QString ShownText(const QString &text)
{
    if (text.size() <= MaxShownText)
        return text;
    qsizetype keep = MaxShownText;
    if (text.at(keep - 1).isHighSurrogate())
        --keep;
    return text.left(keep) + QChar(0x2026);
}
