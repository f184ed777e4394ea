// SPDX-License-Identifier: GPL-3.0-or-later
// Linked into every target: the parsers' warnings would otherwise be written
// (or sent to the journal) once per input, which costs more than the parsing.
#include <QLoggingCategory>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    return 0;
}
