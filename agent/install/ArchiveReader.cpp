// SPDX-License-Identifier: GPL-3.0-or-later
#include "install/ArchiveReader.h"

#include <QByteArray>
#include <QHash>
#include <QRandomGenerator>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr size_t InputBlockBytes = 256 * 1024;
// Headers and padding an entry may add to the stream beyond its data, on
// average; more means the stream is mostly something other than files.
constexpr qint64 HeaderAllowanceBytes = 64 * 1024;
constexpr qint64 SpecialHeaderLimit = 1024 * 1024;
constexpr int NameShownChars = 200;

QString shown(const QByteArray &name)
{
    QString text;
    const QString decoded = QString::fromUtf8(name);
    for (const QChar c : decoded) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            text += u"\\x"_s % QString::number(c.unicode(), 16).rightJustified(2, u'0');
        else
            text += c;
        if (text.size() >= NameShownChars)
            return text % u"..."_s;
    }
    return text;
}

QString entryError(const QByteArray &name, const QString &why)
{
    return u"entry \""_s % shown(name) % u"\" "_s % why;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// libarchive reads NUL-terminated names, so a NUL inside a long name is cut
// off silently. This follows the tar stream as libarchive is fed and
// notes the first name with a NUL in it.
class NulNameScanner
{
public:
    void feed(const unsigned char *data, size_t size)
    {
        while (size > 0 && !m_gaveUp && m_problem.isEmpty()) {
            if (m_skip > 0) {
                const size_t n = size_t(std::min<qint64>(m_skip, qint64(size)));
                m_skip -= qint64(n);
                data += n;
                size -= n;
                continue;
            }
            const size_t n = std::min(size, sizeof m_block - m_have);
            std::memcpy(m_block + m_have, data, n);
            m_have += n;
            data += n;
            size -= n;
            if (m_have == sizeof m_block) {
                m_have = 0;
                block();
            }
        }
    }
    QString problem() const { return m_problem; }

private:
    static qint64 padded(qint64 size) { return (size + 511) / 512 * 512; }

    void block()
    {
        if (m_collectLeft > 0) {
            const qint64 n = std::min<qint64>(m_collectLeft, 512);
            m_collected.append(reinterpret_cast<const char *>(m_block), qsizetype(n));
            m_collectLeft -= n;
            if (m_collectLeft == 0)
                special();
            return;
        }
        if (m_sparseExtension) {
            m_sparseExtension = m_block[504] != 0;
            if (!m_sparseExtension)
                m_skip = padded(m_dataSize);
            return;
        }
        header();
    }

    void header()
    {
        if (std::all_of(m_block, m_block + 512, [](unsigned char c) { return c == 0; }))
            return;
        qint64 size = 0;
        if (!parseSize(m_block + 124, 12, &size)) {
            m_gaveUp = true; // libarchive refuses it on its own
            return;
        }
        const bool posix = std::memcmp(m_block + 257, "ustar\0", 6) == 0;
        checkField(m_block, 100);
        checkField(m_block + 157, 100);
        if (posix)
            checkField(m_block + 345, 155);
        const char type = char(m_block[156]);
        if (type == 'L' || type == 'K' || type == 'x') {
            m_type = type;
            m_collected.clear();
            if (size > SpecialHeaderLimit)
                m_skip = padded(size); // libarchive refuses it
            else
                m_collectLeft = size;
            return;
        }
        if (m_paxSize >= 0 && type != 'g')
            size = m_paxSize;
        if (type != 'g')
            m_paxSize = -1;
        if (type == '1') {
            m_gaveUp = true; // refused as a hard link before its data matters
            return;
        }
        if (type == '2')
            size = 0;
        m_dataSize = size;
        if (type == 'S' && m_block[482] != 0) {
            m_sparseExtension = true;
            return;
        }
        m_skip = padded(size);
    }

    void special()
    {
        if (m_type != 'x') {
            QByteArray name = m_collected;
            while (name.endsWith('\0'))
                name.chop(1);
            if (name.contains('\0'))
                m_problem = entryError(name.replace('\0', "\\0"), u"has a NUL in its name"_s);
            return;
        }
        // Records "<length> <key>=<value>\n".
        qsizetype at = 0;
        while (at < m_collected.size()) {
            const qsizetype space = m_collected.indexOf(' ', at);
            if (space < 0)
                return;
            bool ok = false;
            const qint64 length = m_collected.mid(at, space - at).toLongLong(&ok);
            if (!ok || length <= space - at || at + length > m_collected.size())
                return;
            const QByteArray record = m_collected.mid(space + 1, length - (space - at) - 2);
            at += length;
            const qsizetype equals = record.indexOf('=');
            if (equals < 0)
                continue;
            const QByteArray key = record.left(equals);
            QByteArray value = record.mid(equals + 1);
            if ((key == "path" || key == "linkpath" || key == "GNU.sparse.name")
                && value.contains('\0'))
                m_problem = entryError(value.replace('\0', "\\0"), u"has a NUL in its name"_s);
            else if (key == "size")
                m_paxSize = std::max<qint64>(-1, value.toLongLong(&ok));
        }
    }

    // A name field is NUL-padded: anything after its first NUL is a name
    // with a NUL in it.
    void checkField(const unsigned char *field, size_t size)
    {
        const auto *end = field + size;
        const auto *nul = std::find(field, end, 0);
        if (std::any_of(nul, end, [](unsigned char c) { return c != 0; })) {
            QByteArray name(reinterpret_cast<const char *>(field), qsizetype(size));
            while (name.endsWith('\0'))
                name.chop(1);
            m_problem = entryError(name.replace('\0', "\\0"), u"has a NUL in its name"_s);
        }
    }

    static bool parseSize(const unsigned char *field, size_t size, qint64 *out)
    {
        qint64 value = 0;
        if (field[0] & 0x80) {
            // Base-256, as GNU tar writes sizes over 8 GiB.
            if (field[0] != 0x80)
                return false;
            for (size_t i = 1; i < size; ++i) {
                if (value > (std::numeric_limits<qint64>::max() >> 8))
                    return false;
                value = (value << 8) | field[i];
            }
        } else {
            size_t i = 0;
            while (i < size && field[i] == ' ')
                ++i;
            for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i) {
                if (value > (std::numeric_limits<qint64>::max() >> 3))
                    return false;
                value = value * 8 + (field[i] - '0');
            }
        }
        *out = value;
        return true;
    }

    unsigned char m_block[512];
    size_t m_have = 0;
    qint64 m_skip = 0;
    qint64 m_collectLeft = 0;
    qint64 m_dataSize = 0;
    qint64 m_paxSize = -1;
    QByteArray m_collected;
    char m_type = 0;
    bool m_sparseExtension = false;
    bool m_gaveUp = false;
    QString m_problem;
};

struct ArchiveFree
{
    void operator()(struct archive *a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<struct archive, ArchiveFree>;

// The compressed file, decompressed by one libarchive reader and fed to the
// tar reader through the scanner.
struct Input
{
    int fd = -1;
    qint64 offset = 0;
    std::vector<char> buffer = std::vector<char>(InputBlockBytes);
    struct archive *raw = nullptr;
    NulNameScanner scanner;
    qint64 streamBytes = 0;
    qint64 streamLimit = 0;
    const qint64 *entries = nullptr;
    bool overLimit = false;
};

la_ssize_t readFile(struct archive *a, void *data, const void **block)
{
    auto *input = static_cast<Input *>(data);
    ssize_t n;
    do {
        n = ::pread(input->fd, input->buffer.data(), input->buffer.size(), off_t(input->offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        archive_set_error(a, errno, "cannot read the archive");
        return -1;
    }
    input->offset += n;
    *block = input->buffer.data();
    return n;
}

la_ssize_t readStream(struct archive *a, void *data, const void **block)
{
    auto *input = static_cast<Input *>(data);
    size_t size = 0;
    la_int64_t offset = 0;
    const int r = archive_read_data_block(input->raw, block, &size, &offset);
    if (r == ARCHIVE_EOF)
        return 0;
    if (r < ARCHIVE_WARN) {
        archive_set_error(a, EINVAL, "%s", archive_error_string(input->raw));
        return -1;
    }
    input->streamBytes += qint64(size);
    if (input->streamBytes > input->streamLimit + (*input->entries + 1) * HeaderAllowanceBytes) {
        input->overLimit = true;
        archive_set_error(a, EINVAL, "too much beside the files");
        return -1;
    }
    input->scanner.feed(static_cast<const unsigned char *>(*block), size);
    return la_ssize_t(size);
}

// Paths by a keyed hash: a hostile archive can at worst make a collision
// refuse itself, and memory stays a few bytes an entry.
class PathHash
{
public:
    PathHash()
        : m_seed(QRandomGenerator::system()->generate64())
    {
    }
    quint64 start() const { return m_seed ^ 0xcbf29ce484222325ULL; }
    static quint64 add(quint64 h, const QByteArray &component)
    {
        for (const char c : component)
            h = (h ^ quint8(c)) * 0x100000001b3ULL;
        return (h ^ '/') * 0x100000001b3ULL;
    }

private:
    quint64 m_seed;
};

enum class Node : quint8 { ImpliedFolder, Folder, File, Link };

class Reader
{
public:
    Reader(int archiveFd, qint64 limit, int treeFd, const std::atomic<bool> *stop)
        : m_limit(limit)
        , m_treeFd(treeFd)
        , m_stop(stop)
    {
        m_input.fd = archiveFd;
        m_input.streamLimit = std::min<qint64>(limit, std::numeric_limits<qint64>::max() / 2);
        m_input.entries = &m_outcome.entries;
    }
    ~Reader()
    {
        if (m_parentFd >= 0)
            ::close(m_parentFd);
    }

    ArchiveReader::Outcome run()
    {
        if (!open())
            return m_outcome;
        struct archive_entry *entry = nullptr;
        for (;;) {
            const int r = archive_read_next_header(m_tar.get(), &entry);
            if (!scannerClear())
                return m_outcome;
            if (r == ARCHIVE_EOF)
                break;
            if (r < ARCHIVE_WARN)
                return damaged();
            if (stopped() || !take(entry))
                return m_outcome;
        }
        if (m_treeFd >= 0 && ::syncfs(m_treeFd) != 0)
            return local(u"cannot sync the unpacked tree: "_s % systemError());
        return m_outcome;
    }

private:
    bool open()
    {
        m_raw.reset(archive_read_new());
        m_tar.reset(archive_read_new());
        struct archive *raw = m_raw.get();
        // No other filter: one that runs an outside program must never be
        // chosen for a download.
        if (archive_read_support_filter_gzip(raw) != ARCHIVE_OK
            || archive_read_support_filter_xz(raw) != ARCHIVE_OK
            || archive_read_support_filter_zstd(raw) != ARCHIVE_OK
            || archive_read_support_format_raw(raw) != ARCHIVE_OK
            || archive_read_support_format_tar(m_tar.get()) != ARCHIVE_OK) {
            local(u"this build of libarchive reads no gzip, xz or zstd of its own"_s);
            return false;
        }
        struct archive_entry *entry = nullptr;
        if (archive_read_open(raw, &m_input, nullptr, readFile, nullptr) != ARCHIVE_OK
            || archive_read_next_header(raw, &entry) != ARCHIVE_OK) {
            m_outcome.error = u"the archive is damaged: "_s % QString::fromUtf8(archive_error_string(raw));
            return false;
        }
        m_input.raw = raw;
        if (archive_read_open(m_tar.get(), &m_input, nullptr, readStream, nullptr) != ARCHIVE_OK) {
            damaged();
            return false;
        }
        return true;
    }

    bool stopped()
    {
        if (m_stop && m_stop->load()) {
            local(u"stopped"_s);
            return true;
        }
        return false;
    }

    bool scannerClear()
    {
        if (m_input.scanner.problem().isEmpty())
            return true;
        m_outcome.error = m_input.scanner.problem();
        return false;
    }

    ArchiveReader::Outcome damaged()
    {
        if (!scannerClear())
            return m_outcome;
        if (m_input.overLimit)
            m_outcome.error = u"the archive holds much more than its files ("_s
                              % QString::number(m_input.streamBytes) % u" bytes read)"_s;
        else
            m_outcome.error = u"the archive is damaged: "_s
                              % QString::fromUtf8(archive_error_string(m_tar.get()));
        return m_outcome;
    }

    ArchiveReader::Outcome local(const QString &why)
    {
        m_outcome.error = why;
        m_outcome.localFailure = true;
        return m_outcome;
    }

    bool refuse(const QByteArray &name, const QString &why)
    {
        m_outcome.error = entryError(name, why);
        return false;
    }

    bool take(struct archive_entry *entry)
    {
        const char *raw = archive_entry_pathname(entry);
        if (!raw)
            raw = archive_entry_pathname_utf8(entry);
        const QByteArray name = raw ? QByteArray(raw) : QByteArray();
        if (++m_outcome.entries > ArchiveReader::MaxEntries)
            return refuse(name, u"is one too many: an archive holds at most "_s
                                    % QString::number(ArchiveReader::MaxEntries) % u" entries"_s);
        if (name.isEmpty())
            return refuse(name, u"has no name"_s);
        if (name.size() > ArchiveReader::MaxNameBytes)
            return refuse(name, u"has a name over "_s % QString::number(ArchiveReader::MaxNameBytes)
                                    % u" bytes"_s);
        if (name.startsWith('/'))
            return refuse(name, u"is an absolute path"_s);
        QList<QByteArray> parts;
        for (const QByteArray &part : name.split('/')) {
            if (part == "..")
                return refuse(name, u"has a \"..\" component"_s);
            if (!part.isEmpty() && part != ".")
                parts.append(part);
        }
        if (archive_entry_hardlink(entry))
            return refuse(name, u"is a hard link"_s);
        const mode_t type = archive_entry_filetype(entry);
        switch (type) {
        case AE_IFREG:
        case AE_IFDIR:
        case AE_IFLNK:
            break;
        case AE_IFCHR:
        case AE_IFBLK:
            return refuse(name, u"is a device"_s);
        case AE_IFIFO:
            return refuse(name, u"is a FIFO"_s);
        case AE_IFSOCK:
            return refuse(name, u"is a socket"_s);
        default:
            return refuse(name, u"is neither a file, a folder nor a symbolic link"_s);
        }
        if (parts.isEmpty()) {
            // "./": the tree itself.
            if (type != AE_IFDIR)
                return refuse(name, u"names the tree itself"_s);
            return true;
        }
        if (!place(name, parts, type))
            return false;
        if (type == AE_IFLNK)
            return link(entry, name, parts);
        if (type == AE_IFDIR)
            return folder(entry, name, parts);
        return file(entry, name, parts);
    }

    // Notes the entry's path and the folders it implies, refusing one that
    // repeats a path or lies under a link or a file of the archive.
    bool place(const QByteArray &name, const QList<QByteArray> &parts, mode_t type)
    {
        quint64 h = m_hash.start();
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
            h = PathHash::add(h, parts.at(i));
            const auto found = m_nodes.constFind(h);
            if (found == m_nodes.cend()) {
                if (++m_impliedFolders > ArchiveReader::MaxEntries)
                    return refuse(name, u"implies more than "_s
                                            % QString::number(ArchiveReader::MaxEntries)
                                            % u" folders that no entry names"_s);
                m_nodes.insert(h, Node::ImpliedFolder);
                continue;
            }
            const QByteArray above = QList<QByteArray>(parts.begin(), parts.begin() + i + 1).join('/');
            if (*found == Node::Link)
                return refuse(name, u"lies under the symbolic link \""_s % shown(above)
                                        % u"\" of the archive"_s);
            if (*found == Node::File)
                return refuse(name, u"lies under the file \""_s % shown(above) % u"\" of the archive"_s);
        }
        h = PathHash::add(h, parts.last());
        const Node node = type == AE_IFDIR ? Node::Folder : type == AE_IFLNK ? Node::Link : Node::File;
        const auto found = m_nodes.find(h);
        if (found != m_nodes.end()) {
            if (*found != Node::ImpliedFolder || node != Node::Folder)
                return refuse(name, u"repeats a path of the archive"_s);
            *found = node;
            m_renamedImplied = true;
            return true;
        }
        m_nodes.insert(h, node);
        m_renamedImplied = false;
        return true;
    }

    bool link(struct archive_entry *entry, const QByteArray &name, const QList<QByteArray> &parts)
    {
        const char *raw = archive_entry_symlink(entry);
        const QByteArray target = raw ? QByteArray(raw) : QByteArray();
        if (target.isEmpty())
            return refuse(name, u"is a symbolic link to nothing"_s);
        if (target.size() > ArchiveReader::MaxNameBytes)
            return refuse(name, u"is a symbolic link with a target over "_s
                                    % QString::number(ArchiveReader::MaxNameBytes) % u" bytes"_s);
        if (target.startsWith('/'))
            return refuse(name, u"is a symbolic link to the absolute path \""_s % shown(target)
                                    % u'"');
        // ".." only before any name: then no link it passes through can
        // carry the walk above the tree (a link to "." and then "..").
        qsizetype up = 0;
        bool named = false;
        for (const QByteArray &part : target.split('/')) {
            if (part == "..") {
                if (named || ++up > parts.size() - 1)
                    return refuse(name, u"is a symbolic link that leads outside the tree (\""_s
                                            % shown(target) % u"\")"_s);
            } else if (!part.isEmpty() && part != ".") {
                named = true;
            }
        }
        if (m_treeFd < 0)
            return true;
        const int parent = parentFolder(name, parts);
        if (parent < 0)
            return false;
        if (::symlinkat(target.constData(), parent, parts.last().constData()) != 0)
            return writeFailed(name);
        return true;
    }

    bool folder(struct archive_entry *entry, const QByteArray &name, const QList<QByteArray> &parts)
    {
        if (m_treeFd < 0)
            return true;
        const int parent = parentFolder(name, parts);
        if (parent < 0)
            return false;
        // The owner keeps rwx, so the agent can fill it and remove it later.
        const mode_t mode = (archive_entry_perm(entry) & 0777) | 0700;
        if (m_renamedImplied)
            return setMode(parent, name, parts.last(), mode);
        if (::mkdirat(parent, parts.last().constData(), 0700) != 0)
            return writeFailed(name);
        return mode == 0700 || setMode(parent, name, parts.last(), mode);
    }

    bool setMode(int parent, const QByteArray &name, const QByteArray &leaf, mode_t mode)
    {
        const int fd = ::openat(parent, leaf.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool ok = fd >= 0 && ::fchmod(fd, mode) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok || writeFailed(name);
    }

    bool file(struct archive_entry *entry, const QByteArray &name, const QList<QByteArray> &parts)
    {
        const qint64 declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
        if (declared < 0 || declared > m_limit - m_outcome.fileBytes)
            return overSize(name);
        int fd = -1;
        if (m_treeFd >= 0) {
            const int parent = parentFolder(name, parts);
            if (parent < 0)
                return false;
            fd = ::openat(parent, parts.last().constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0)
                return writeFailed(name);
        }
        const bool ok = fileData(name, fd, declared)
                        && (fd < 0 || ::fchmod(fd, archive_entry_perm(entry) & 0777) == 0
                            || writeFailed(name));
        if (fd >= 0)
            ::close(fd);
        return ok;
    }

    bool fileData(const QByteArray &name, int fd, qint64 declared)
    {
        qint64 end = 0;
        for (;;) {
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int r = archive_read_data_block(m_tar.get(), &block, &size, &offset);
            if (r == ARCHIVE_EOF)
                break;
            if (r < ARCHIVE_WARN) {
                damaged();
                return false;
            }
            if (stopped())
                return false;
            if (offset < 0 || offset > m_limit - m_outcome.fileBytes
                || qint64(size) > m_limit - m_outcome.fileBytes - offset)
                return overSize(name);
            end = std::max<qint64>(end, offset + qint64(size));
            if (fd >= 0 && !writeAt(fd, static_cast<const char *>(block), size, offset))
                return writeFailed(name);
        }
        if (!scannerClear())
            return false;
        const qint64 length = std::max(end, declared);
        m_outcome.fileBytes += length;
        // A sparse file's last hole.
        if (fd >= 0 && end < length && ::ftruncate(fd, off_t(length)) != 0)
            return writeFailed(name);
        return true;
    }

    static bool writeAt(int fd, const char *data, size_t size, qint64 offset)
    {
        while (size > 0) {
            const ssize_t n = ::pwrite(fd, data, size, off_t(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            size -= size_t(n);
            offset += n;
        }
        return true;
    }

    bool overSize(const QByteArray &name)
    {
        return refuse(name, u"brings the regular files to more than the unpackedSize of "_s
                                % QString::number(m_limit) % u" bytes"_s);
    }

    bool writeFailed(const QByteArray &name)
    {
        m_outcome.error = u"cannot write \""_s % shown(name) % u"\": "_s % systemError();
        m_outcome.localFailure = true;
        return false;
    }

    // The folder that holds the entry, made as needed, never through a
    // link; the last one is kept open, as entries come folder by folder.
    int parentFolder(const QByteArray &name, const QList<QByteArray> &parts)
    {
        const QByteArray path = QList<QByteArray>(parts.begin(), parts.end() - 1).join('/');
        if (m_parentFd >= 0 && path == m_parentPath)
            return m_parentFd;
        if (m_parentFd >= 0)
            ::close(m_parentFd);
        m_parentFd = -1;
        int fd = ::fcntl(m_treeFd, F_DUPFD_CLOEXEC, 0);
        for (qsizetype i = 0; fd >= 0 && i + 1 < parts.size(); ++i) {
            const char *part = parts.at(i).constData();
            int next = ::openat(fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0 && errno == ENOENT && ::mkdirat(fd, part, 0755) == 0) {
                // A folder no entry names is as open as tar would make it.
                next = ::openat(fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (next >= 0 && ::fchmod(next, 0755) != 0) {
                    ::close(next);
                    next = -1;
                }
            }
            const int saved = errno;
            ::close(fd);
            errno = saved;
            fd = next;
        }
        if (fd < 0) {
            writeFailed(name);
            return -1;
        }
        m_parentFd = fd;
        m_parentPath = path;
        return fd;
    }

    qint64 m_limit;
    int m_treeFd;
    const std::atomic<bool> *m_stop;
    Input m_input;
    ArchivePtr m_raw;
    ArchivePtr m_tar;
    ArchiveReader::Outcome m_outcome;
    PathHash m_hash;
    QHash<quint64, Node> m_nodes;
    qint64 m_impliedFolders = 0;
    bool m_renamedImplied = false;
    int m_parentFd = -1;
    QByteArray m_parentPath;
};

} // namespace

ArchiveReader::Outcome ArchiveReader::read(int archiveFd, qint64 unpackedLimit, int treeFd,
                                           const std::atomic<bool> *stop)
{
    return Reader(archiveFd, unpackedLimit, treeFd, stop).run();
}
