// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Plain decimal digits with a leading "-" when negative: no grouping, no
// padding, whatever the locale.
QString NumberText(qint64 n);

// nBytes / 1024 rounded to the nearest whole number, a half going to the
// even neighbour.
qint64 RoundedKilobytes(qint32 nBytes);
