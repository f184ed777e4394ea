// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/JsonText.h"

#include "base/AgentLog.h"

#include <QList>
#include <QSet>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

// An object or a list being read.
struct Level
{
    bool object = false;
    bool expectKey = false;
    // The key whose value is being read; a list goes by the key it is under.
    std::optional<QString> key;
    QSet<QString> keys;
};

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char16_t unescaped(char c)
{
    switch (c) {
    case 'b':
        return u'\b';
    case 'f':
        return u'\f';
    case 'n':
        return u'\n';
    case 'r':
        return u'\r';
    case 't':
        return u'\t';
    default:
        return char16_t(uchar(c)); // '"', '\\' and '/' stand for themselves
    }
}

// Reads a text from just after its opening quote; returns where the text
// ends, after its closing quote. Decodes it into *decoded unless that is
// null; sets *nul when it holds a NUL.
qsizetype readText(QByteArrayView json, qsizetype at, QString *decoded, bool *nul)
{
    qsizetype run = at;
    const auto flush = [&](qsizetype end) {
        if (decoded && end > run)
            decoded->append(QString::fromUtf8(json.sliced(run, end - run)));
    };
    while (at < json.size()) {
        const char c = json[at];
        if (c == '"') {
            flush(at);
            return at + 1;
        }
        if (c != '\\') {
            *nul = *nul || c == '\0';
            ++at;
            continue;
        }
        flush(at);
        if (at + 1 == json.size())
            return json.size();
        if (json[at + 1] != 'u') {
            if (decoded)
                decoded->append(QChar(unescaped(json[at + 1])));
            at += 2;
        } else {
            int unit = 0;
            qsizetype digits = 0;
            while (digits < 4 && at + 2 + digits < json.size()
                   && hexValue(json[at + 2 + digits]) >= 0)
                unit = unit * 16 + hexValue(json[at + 2 + digits++]);
            // Surrogate pairs need nothing more: texts are compared as UTF-16.
            if (digits == 4 && decoded)
                decoded->append(QChar(char16_t(unit)));
            *nul = *nul || (digits == 4 && unit == 0);
            at += 2 + digits;
        }
        run = at;
    }
    flush(at);
    return at;
}

QString field(const QString &key)
{
    return u"field \""_s % AgentLog::cut(key) % u'"';
}

} // namespace

namespace JsonText {

QString fault(QByteArrayView json, Nul nul)
{
    QList<Level> levels;
    qsizetype at = 0;
    while (at < json.size()) {
        const char c = json[at];
        if (c == '{' || c == '[') {
            Level level;
            level.object = c == '{';
            level.expectKey = level.object;
            if (!levels.isEmpty())
                level.key = levels.last().key;
            levels.append(std::move(level));
            ++at;
        } else if (c == '}' || c == ']') {
            if (!levels.isEmpty())
                levels.removeLast();
            ++at;
        } else if (c == ',') {
            if (!levels.isEmpty() && levels.last().object)
                levels.last().expectKey = true;
            ++at;
        } else if (c != '"') {
            ++at;
        } else if (!levels.isEmpty() && levels.last().expectKey) {
            Level &level = levels.last();
            QString key;
            bool hasNul = false;
            at = readText(json, at + 1, &key, &hasNul);
            if (hasNul && nul == Nul::Refused)
                return u"a key holds a NUL character (\\u0000)"_s;
            if (level.keys.contains(key))
                return field(key) % u" appears twice in one object"_s;
            level.keys.insert(key);
            level.key = std::move(key);
            level.expectKey = false;
        } else {
            bool hasNul = false;
            at = readText(json, at + 1, nullptr, &hasNul);
            if (hasNul && nul == Nul::Refused) {
                const std::optional<QString> key =
                    levels.isEmpty() ? std::nullopt : levels.last().key;
                return (key ? field(*key) : u"a text"_s) % u" holds a NUL character (\\u0000)"_s;
            }
        }
    }
    return {};
}

} // namespace JsonText
