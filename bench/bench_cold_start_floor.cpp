// SPDX-License-Identifier: GPL-3.0-or-later
// The floor of bench_cold_start: a Qt Widgets program that shows nothing but
// the client's first offer, through the client's own prompt class, and asks
// no service for it.
//
//   bench_cold_start_floor UPDATE_NAME
#include "MessageBoxPrompt.h"

#include <QApplication>

using namespace Qt::StringLiterals;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString name = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    MessageBoxPrompt prompt;
    prompt.show(u"Update available: "_s + name + u"\r\nStart Download?"_s,
                MessagePrompt::Buttons::YesNo, u"Kelvarra"_s);
    return 0;
}
