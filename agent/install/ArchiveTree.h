// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

// The trees of an archive update inside its install folder:
//
//   <file> -> .<file>-<version>      the link the product runs through
//   .<file>-<version>/               the current tree
//   .<file>-<previous>/              the one it replaced, kept
//   .<file>-<version>.unpack-<rnd>   a tree being unpacked, or a link about
//                                    to be renamed; removed at start
class ArchiveTree
{
public:
    ArchiveTree(const QString &folder, const QString &file, const QString &version);

    struct Unpacked
    {
        QString name; // the unpacked tree's name in the folder, unless error
        QString error;
        bool localFailure = false;
    };
    // Unpacks the archive into a new hidden tree and syncs it. On any
    // failure nothing of it is left.
    Unpacked unpack(int archiveFd, qint64 unpackedSize, const std::atomic<bool> *stop) const;

    struct Placed
    {
        QString link;        // the folder's <file>, unless error
        QString error;
        QStringList doomed;  // trees to remove once the install is recorded
    };
    // Renames the unpacked tree into place and the new link over <file>,
    // each in one step, and syncs the folder. Changes nothing when <file>
    // is something the agent did not make.
    Placed install(const QString &unpackedName) const;
    // <file> links to this version's tree.
    bool isInPlace() const;

    // Removes trees of the folder in the background (after renaming each to
    // an unpack name, so a crash leaves only what the next start removes).
    void discard(const QStringList &names) const;
    // Removes what killed agents left: the unpack trees and links.
    static int removeStaleUnpacks(const QString &folder);
    static bool isUnpackName(const QString &name);

private:
    QString unpackName() const;
    QString treeName() const { return u'.' + m_file + u'-' + m_version; }
    // The tree <file> links to, if it is a link to a tree beside it; empty
    // when there is no <file>. False when <file> is something else.
    bool currentTree(int folderFd, QString *tree, QString *why) const;

    QString m_folder;
    QString m_file;
    QString m_version;
};

// Unpacks on a thread of its own; finished() comes on the creating thread.
// Deleting it stops the thread soon, and whatever it unpacked is removed.
class ArchiveUnpack : public QObject
{
    Q_OBJECT

public:
    // Takes archiveFd.
    ArchiveUnpack(const ArchiveTree &tree, int archiveFd, qint64 unpackedSize,
                  const QString &folder, QObject *parent = nullptr);
    ~ArchiveUnpack() override;

Q_SIGNALS:
    void finished(const ArchiveTree::Unpacked &result);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    QString m_folder;
    bool m_delivered = false;
};
