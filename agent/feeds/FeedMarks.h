// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

class StateFile;

// The highest feed serial accepted for each product and the SHA-256 of that
// feed's bytes, kept in the state file under "feeds" (a key no product code
// can be), so that no older feed is taken after a restart.
class FeedMarks
{
public:
    struct Mark
    {
        qint64 serial = 0;
        QByteArray sha256;
    };

    explicit FeedMarks(StateFile *file);

    Mark mark(const QString &code) const;
    bool record(const QString &code, const Mark &mark, QString *error);

private:
    StateFile *m_file;
};
