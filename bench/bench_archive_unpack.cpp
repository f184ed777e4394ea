// SPDX-License-Identifier: GPL-3.0-or-later
// Unpacking an archive update as the agent does (every entry checked and
// written below the tree's descriptor, the file system synced at the end)
// against `tar -xf` of the same archive into the same file system, and
// against `tar -xf` followed by a sync of that file system (`sync -f`), in
// alternate rounds of the same run. Not part of the test run:
//   bench_archive_unpack [megabytes] [files] [rounds] [folder]
//   (default 1024 MB in 10000 files, 3 rounds, in the current folder)
// Each figure is the best of its rounds; the ratios are of the best figures.

#include "install/ArchiveTree.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// An uncompressed pax archive of `files` files of random bytes in 100
// folders, `bytes` in all.
bool makeArchive(const QString &path, qint64 bytes, int files)
{
    struct archive *a = archive_write_new();
    archive_write_set_format_pax_restricted(a);
    if (archive_write_open_filename(a, QFile::encodeName(path).constData()) != ARCHIVE_OK)
        return false;
    const qint64 each = bytes / files;
    QByteArray data(each, Qt::Uninitialized);
    struct archive_entry *e = archive_entry_new();
    for (int i = 0; i < files; ++i) {
        // A few words changed per file: no two files alike, cheap to make.
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()),
                                              std::min<qint64>(each / 4, 1024));
        archive_entry_clear(e);
        const QByteArray name = "d" + QByteArray::number(i % 100) + "/f" + QByteArray::number(i);
        archive_entry_set_pathname(e, name.constData());
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, 0644);
        archive_entry_set_size(e, each);
        if (archive_write_header(a, e) != ARCHIVE_OK
            || archive_write_data(a, data.constData(), size_t(each)) != la_ssize_t(each))
            return false;
    }
    archive_entry_free(e);
    return archive_write_close(a) == ARCHIVE_OK && archive_write_free(a) == ARCHIVE_OK;
}

qint64 runTar(const QString &archive, const QString &into, bool sync)
{
    QDir().mkpath(into);
    QElapsedTimer clock;
    clock.start();
    if (QProcess::execute(u"tar"_s, {u"-xf"_s, archive, u"-C"_s, into}) != 0)
        return -1;
    if (sync && QProcess::execute(u"sync"_s, {u"-f"_s, into}) != 0)
        return -1;
    return clock.elapsed();
}

qint64 runAgent(const QString &archive, const QString &into, qint64 unpackedSize)
{
    QDir().mkpath(into);
    const int fd = ::open(QFile::encodeName(archive).constData(), O_RDONLY | O_CLOEXEC);
    QElapsedTimer clock;
    clock.start();
    const ArchiveTree::Unpacked result =
        ArchiveTree(into, u"app"_s, u"1.0"_s).unpack(fd, unpackedSize, nullptr);
    const qint64 ms = clock.elapsed();
    ::close(fd);
    if (!result.error.isEmpty()) {
        std::fprintf(stderr, "unpack failed: %s\n", qPrintable(result.error));
        return -1;
    }
    return ms;
}

void settle(const QString &folder)
{
    QDir(folder).removeRecursively();
    ::sync();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 megabytes = args.size() > 1 ? args.at(1).toLongLong() : 1024;
    const int files = args.size() > 2 ? args.at(2).toInt() : 10000;
    const int rounds = args.size() > 3 ? args.at(3).toInt() : 3;
    QTemporaryDir work((args.size() > 4 ? args.at(4) : QDir::currentPath()) + u"/bench-archive-XXXXXX"_s);
    const qint64 bytes = megabytes << 20;
    const QString archive = work.filePath(u"payload.tar"_s);
    if (!work.isValid() || files < 1 || !makeArchive(archive, bytes, files)) {
        std::fprintf(stderr, "cannot make the archive in %s\n", qPrintable(work.path()));
        return 1;
    }
    const qint64 unpacked = bytes / files * files;
    std::printf("%lld MB in %d files, %d rounds, in %s\n", qlonglong(megabytes), files, rounds,
                qPrintable(work.path()));

    qint64 bestTar = -1, bestTarSync = -1, bestAgent = -1;
    const auto best = [](qint64 *best, qint64 ms) {
        if (ms >= 0 && (*best < 0 || ms < *best))
            *best = ms;
    };
    const QString into = work.filePath(u"tree"_s);
    for (int round = 0; round < rounds; ++round) {
        settle(into);
        const qint64 tar = runTar(archive, into, false);
        settle(into);
        const qint64 tarSync = runTar(archive, into, true);
        settle(into);
        const qint64 agent = runAgent(archive, into, unpacked);
        std::printf("  round %d: tar -xf %lld ms, tar -xf + sync -f %lld ms, agent %lld ms\n",
                    round + 1, qlonglong(tar), qlonglong(tarSync), qlonglong(agent));
        best(&bestTar, tar);
        best(&bestTarSync, tarSync);
        best(&bestAgent, agent);
    }
    settle(into);
    if (bestTar <= 0 || bestAgent < 0)
        return 1;
    std::printf("best: tar -xf %lld ms, tar -xf + sync -f %lld ms (the sync: %lld ms), agent %lld ms\n",
                qlonglong(bestTar), qlonglong(bestTarSync), qlonglong(bestTarSync - bestTar),
                qlonglong(bestAgent));
    std::printf("agent / tar -xf: %.2fx (goal at most 1.30x); agent / (tar -xf + sync -f): %.2fx\n",
                double(bestAgent) / double(bestTar), double(bestAgent) / double(bestTarSync));
    return 0;
}
