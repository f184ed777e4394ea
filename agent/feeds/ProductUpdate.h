// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

// One update of a product, as its signed feed describes it.
struct ProductUpdate
{
    QString id;
    QString name;
    QString version;
    qint64 size = 0;
    QByteArray sha256; // raw digest, 32 bytes
    QUrl url;
    // A relative url from the feed addresses after the one that served the
    // feed: tried in turn when a download from url fails.
    QList<QUrl> mirrorUrls;
    QString fileName; // plain name inside the product's install folder
    QString failureTemplate;
    // A file is moved into place as fileName; an archive is unpacked into a
    // tree of its own beside the link fileName.
    enum class Install { File, Archive } install = Install::File;
    qint64 unpackedSize = 0; // archives: the total size of their regular files
    // The share of machines offered it, in hundredths of a percent: those
    // whose bucket is below it.
    int rollout = 10000;
    // A file's payload may also be made from the file in place, when that
    // file's SHA-256 is one a delta is made from.
    struct Delta
    {
        QByteArray fromSha256; // raw digests, 32 bytes
        QUrl url;
        qint64 size = 0;
        QByteArray sha256; // of the delta itself
        QList<QUrl> mirrorUrls;
        bool operator==(const Delta &) const = default;
    };
    static constexpr int MaxDeltas = 8;
    QList<Delta> deltas;

    bool isArchive() const { return install == Install::Archive; }
    // The room a download needs in the install folder.
    qint64 neededRoom() const { return size + (isArchive() ? unpackedSize : 0); }

    bool operator==(const ProductUpdate &) const = default;
};
