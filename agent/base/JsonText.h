// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QString>

// What Qt's JSON parser lets through silently: of a key repeated in one
// object it keeps the last, so two readers of one file could see different
// values; and a "\u0000" in a text ends it early for anything that reads it
// as a C string. One pass over the text, memory in proportion to its keys.
namespace JsonText {

enum class Nul { Refused, Allowed };

// Why `json` must not be used, or nothing: `field "serial" appears twice in
// one object`, `field "name" holds a NUL character (\u0000)`. Keys count as
// the same when they decode to the same text ("a" and "\u0061"). Meant for
// text the parser accepted; any other text is scanned without harm.
QString fault(QByteArrayView json, Nul nul = Nul::Refused);

} // namespace JsonText
