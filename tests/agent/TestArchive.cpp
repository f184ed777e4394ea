// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestArchive.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace TestArchive {

namespace {

la_ssize_t append(struct archive *, void *data, const void *buffer, size_t size)
{
    static_cast<QByteArray *>(data)->append(static_cast<const char *>(buffer), qsizetype(size));
    return la_ssize_t(size);
}

QByteArray write(const QList<Entry> &entries, const char *filter, bool pax)
{
    QByteArray out;
    struct archive *a = archive_write_new();
    if (pax)
        archive_write_set_format_pax_restricted(a);
    else
        archive_write_set_format_ustar(a);
    if (qstrcmp(filter, "none") != 0)
        archive_write_add_filter_by_name(a, filter);
    archive_write_set_bytes_in_last_block(a, 1);
    archive_write_open(a, &out, nullptr, append, nullptr);
    struct archive_entry *e = archive_entry_new();
    for (const Entry &entry : entries) {
        archive_entry_clear(e);
        archive_entry_set_pathname(e, entry.path.constData());
        archive_entry_set_perm(e, mode_t(entry.mode));
        switch (entry.type) {
        case 'f':
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_size(e, entry.data.size());
            break;
        case 'd':
            archive_entry_set_filetype(e, AE_IFDIR);
            break;
        case 'l':
            archive_entry_set_filetype(e, AE_IFLNK);
            archive_entry_set_symlink(e, entry.target.constData());
            break;
        case 'h':
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_hardlink(e, entry.target.constData());
            break;
        case 'c':
            archive_entry_set_filetype(e, AE_IFCHR);
            archive_entry_set_rdevmajor(e, 1);
            archive_entry_set_rdevminor(e, 3);
            break;
        case 'p':
            archive_entry_set_filetype(e, AE_IFIFO);
            break;
        }
        archive_write_header(a, e);
        if (entry.type == 'f')
            archive_write_data(a, entry.data.constData(), size_t(entry.data.size()));
    }
    archive_entry_free(e);
    archive_write_close(a);
    archive_write_free(a);
    return out;
}

} // namespace

QByteArray make(const QList<Entry> &entries, const char *filter)
{
    return write(entries, filter, true);
}

QByteArray header(const QByteArray &nameField, char type, qint64 size, bool gnu)
{
    QByteArray block(512, '\0');
    std::memcpy(block.data(), nameField.constData(), size_t(std::min<qsizetype>(nameField.size(), 100)));
    std::snprintf(block.data() + 100, 8, "%07o", 0644);
    std::snprintf(block.data() + 108, 8, "%07o", 0);
    std::snprintf(block.data() + 116, 8, "%07o", 0);
    std::snprintf(block.data() + 124, 12, "%011llo", (unsigned long long)size);
    std::snprintf(block.data() + 136, 12, "%011o", 0);
    block[156] = type;
    std::memcpy(block.data() + 257, gnu ? "ustar  " : "ustar\0" "00", 8);
    // The checksum: the header's bytes added up with its own field as spaces.
    std::memset(block.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (const char c : block)
        sum += quint8(c);
    std::snprintf(block.data() + 148, 8, "%06o", sum);
    return block;
}

QByteArray blocks(const QByteArray &data)
{
    return data + QByteArray((512 - data.size() % 512) % 512, '\0');
}

QStringList listing(const QString &folder)
{
    QStringList lines;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st = {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        const QString relative = path.mid(folder.size() + 1);
        const char type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
        QString line = QChar::fromLatin1(type) % QString::number(st.st_mode & 07777, 8) % u' '
                       % relative;
        if (type == 'l') {
            char target[4096];
            const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
            line += u" -> "_s % QFile::decodeName(QByteArray(target, int(std::max<ssize_t>(n, 0))));
        }
        lines.append(line);
    }
    lines.sort();
    return lines;
}

} // namespace TestArchive
