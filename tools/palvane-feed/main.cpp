// SPDX-License-Identifier: GPL-3.0-or-later
// palvane-feed: the vendor's side of signed update feeds. It makes keys,
// writes a product's feed from its payloads, signs it, and checks a feed
// exactly as the agent would.
#include "FeedDocument.h"
#include "FeedVerifier.h"
#include "SigningKey.h"
#include "ToolError.h"

#include "feeds/Feed.h"
#include "feeds/ProductFile.h"
#include "base/Sha256.h"
#include "install/ArchiveReader.h"
#include "install/InstallFolder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUuid>

#include <zstd.h>

#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString Usage = uR"(usage:
  palvane-feed keygen KEYFILE
  palvane-feed pubkey KEYFILE
  palvane-feed new-product --name NAME --feed URL --key PUBLICKEY
                   [--install-dir DIR]
  palvane-feed add FEED PAYLOAD --id ID --name NAME --version V [--url URL]
                   [--file NAME] [--failure-text TEXT] [--product CODE]
                   [--install archive] [--rollout P]
  palvane-feed set FEED --id ID --rollout P
  palvane-feed delta FEED --id ID OLDPAYLOAD [--url URL] [--out FILE]
                     [--payload FILE]
  palvane-feed sign FEED --key KEYFILE [--valid-for DAYS] [--product PRODUCTFILE]
  palvane-feed verify FEED (--product PRODUCTFILE | --key PUBLICKEY)

Exit status: 0 done (verify: the feed would be accepted), 1 verify: the feed
would be refused, 2 wrong command line, 3 the command failed.
)"_s;

constexpr int DefaultValidDays = 30;
// Far enough for any release plan, near enough that a typo is caught.
constexpr int MaxValidDays = 3650;
constexpr qint64 HashChunk = 256 * 1024;

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

// One command's command line: its positional arguments and options.
class Command
{
public:
    Command(const QStringList &arguments, const QStringList &positionals,
            const QStringList &options)
    {
        for (const QString &name : options)
            m_parser.addOption(QCommandLineOption(name, QString(), u"value"_s));
        if (!m_parser.parse(arguments))
            throw ToolError{m_parser.errorText(), ToolError::Usage};
        m_positionals = m_parser.positionalArguments().mid(1);
        if (m_positionals.size() != positionals.size())
            throw ToolError{arguments.value(1) % u" takes "_s % positionals.join(u' '),
                            ToolError::Usage};
        for (const QString &name : options) {
            if (m_parser.values(name).size() > 1)
                throw ToolError{u"--"_s % name % u" given twice"_s, ToolError::Usage};
        }
    }

    QString at(qsizetype index) const { return m_positionals.at(index); }
    bool has(const QString &option) const { return m_parser.isSet(option); }
    QString value(const QString &option) const { return m_parser.value(option); }
    QString required(const QString &option) const
    {
        if (!has(option) || value(option).isEmpty())
            throw ToolError{u"--"_s % option % u" is needed"_s, ToolError::Usage};
        return value(option);
    }

private:
    QCommandLineParser m_parser;
    QStringList m_positionals;
};

int keygen(const QStringList &arguments)
{
    const Command command(arguments, {u"KEYFILE"_s}, {});
    const SigningKey key = SigningKey::generate();
    key.saveNew(command.at(0));
    print(stdout, QString::fromLatin1(key.publicKey().toBase64()) % u'\n');
    print(stderr, u"wrote the private key to "_s % command.at(0)
                      % u"; keep it secret, put the public key above in the product file\n"_s);
    return 0;
}

int pubkey(const QStringList &arguments)
{
    const Command command(arguments, {u"KEYFILE"_s}, {});
    print(stdout, QString::fromLatin1(SigningKey::load(command.at(0)).publicKey().toBase64()) % u'\n');
    return 0;
}

// A folder name from the product's name: "Acme Studio 2" gives "acme-studio-2".
QString folderName(const QString &name)
{
    QString folder;
    for (const QChar c : name.toLower()) {
        if ((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9'))
            folder += c;
        else if (!folder.isEmpty() && !folder.endsWith(u'-'))
            folder += u'-';
    }
    while (folder.endsWith(u'-'))
        folder.chop(1);
    return folder.isEmpty() ? u"product"_s : folder;
}

int newProduct(const QStringList &arguments)
{
    const Command command(arguments, {}, {u"name"_s, u"feed"_s, u"key"_s, u"install-dir"_s});
    const QString name = command.required(u"name"_s);
    // Per user by default: a system folder is one the user's agent cannot write.
    const QString installDir = command.has(u"install-dir"_s)
                                   ? command.required(u"install-dir"_s)
                                   : u"$XDG_DATA_HOME/"_s % folderName(name);
    const QJsonObject product{
        {u"code"_s, QUuid::createUuid().toString(QUuid::WithBraces).toUpper()},
        {u"name"_s, name},
        {u"installDir"_s, installDir},
        {u"feed"_s, command.required(u"feed"_s)},
        {u"keys"_s, QJsonArray{command.required(u"key"_s)}},
    };
    const QByteArray bytes = QJsonDocument(product).toJson();
    // Relative addresses as from a product file here.
    const ProductFile::Result checked =
        ProductFile::parse(bytes, QDir::current().absoluteFilePath(u"product.json"_s));
    if (!checked.value)
        throw ToolError{u"the agent would refuse this product file: "_s % checked.error,
                        ToolError::Usage};
    print(stdout, QString::fromUtf8(bytes));
    print(stderr, u"a new product code "_s % checked.value->code
                      % u"; the product's package installs this file as"
                        " <datadir>/palvane/products/"_s
                      % folderName(name) % u".json\n"_s);
    return 0;
}

QByteArray sha256OfFile(const QString &path, qint64 *size)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        throw ToolError{path % u": "_s
                        % (file.error() != QFile::NoError ? file.errorString()
                                                          : u"not a regular file"_s)};
    Sha256 sha;
    QByteArray chunk(HashChunk, Qt::Uninitialized);
    *size = 0;
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            throw ToolError{path % u": "_s % file.errorString()};
        if (n == 0)
            break;
        sha.addData(QByteArrayView(chunk.constData(), n));
        *size += n;
    }
    return sha.result().toHex();
}

// Reads the archive through the agent's own reader, so it refuses what the
// agent would, in the same words; returns the size of its regular files.
qint64 unpackedSize(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw ToolError{path % u": cannot be read"_s};
    const ArchiveReader::Outcome outcome =
        ArchiveReader::read(fd, std::numeric_limits<qint64>::max() / 2);
    ::close(fd);
    if (!outcome.error.isEmpty())
        throw ToolError{path % u": the agent would refuse this archive: "_s % outcome.error};
    return outcome.fileBytes;
}

// The update as the agent reads it in a feed: refused now rather than at
// signing or on users' machines.
void checkUpdate(const QJsonObject &update)
{
    const QJsonObject feed{{u"product"_s, u"{00000000-0000-0000-0000-000000000000}"_s},
                           {u"serial"_s, 1},
                           {u"expires"_s, u"2099-01-01T00:00:00Z"_s},
                           {u"updates"_s, QJsonArray{update}}};
    const FeedFile::Result result =
        FeedFile::parse(QJsonDocument(feed).toJson(), QUrl(u"https://example.org/updates.json"_s));
    if (!result.value)
        throw ToolError{u"the agent would refuse this update: "_s % result.error};
}

// The share of machines, 0 to 100 with at most two decimals, as the agent
// reads it.
void putRollout(QJsonObject *update, const QString &text)
{
    bool ok = false;
    const double percent = text.toDouble(&ok);
    if (!ok)
        throw ToolError{u"--rollout takes a percentage from 0 to 100, not "_s % text,
                        ToolError::Usage};
    update->insert(u"rollout"_s, percent);
    try {
        checkUpdate(*update);
    } catch (ToolError &error) {
        error.status = ToolError::Usage;
        throw;
    }
}

int add(const QStringList &arguments)
{
    const Command command(arguments, {u"FEED"_s, u"PAYLOAD"_s},
                          {u"id"_s, u"name"_s, u"version"_s, u"url"_s, u"file"_s,
                           u"failure-text"_s, u"product"_s, u"install"_s, u"rollout"_s});
    const QString feedPath = command.at(0);
    const QString payload = command.at(1);
    QJsonObject update{{u"id"_s, command.required(u"id"_s)},
                       {u"name"_s, command.required(u"name"_s)},
                       {u"version"_s, command.required(u"version"_s)}};
    const QString product = command.value(u"product"_s);
    if (command.has(u"product"_s) && !ProductFile::isProductCode(product))
        throw ToolError{u"--product must be 38 characters, \"{\" first and the first \"}\" last"_s,
                        ToolError::Usage};

    const bool exists = QFileInfo::exists(feedPath);
    if (!exists && !command.has(u"product"_s))
        throw ToolError{feedPath % u" does not exist yet: give --product CODE"_s, ToolError::Usage};
    FeedDocument feed = exists ? FeedDocument::load(feedPath) : FeedDocument::create(product);
    if (command.has(u"product"_s) && feed.product().compare(product, Qt::CaseInsensitive) != 0)
        throw ToolError{feedPath % u" is the feed of "_s % feed.product() % u", not of "_s % product};

    qint64 size = 0;
    update.insert(u"sha256"_s, QString::fromLatin1(sha256OfFile(payload, &size)));
    update.insert(u"size"_s, size);
    update.insert(u"url"_s, command.has(u"url"_s) ? command.value(u"url"_s)
                                                   : QFileInfo(payload).fileName());
    if (command.has(u"file"_s))
        update.insert(u"file"_s, command.value(u"file"_s));
    if (command.has(u"failure-text"_s))
        update.insert(u"failureText"_s, command.value(u"failure-text"_s));
    if (command.has(u"install"_s)) {
        if (command.value(u"install"_s) != u"archive"_s && command.value(u"install"_s) != u"file"_s)
            throw ToolError{u"--install takes archive or file"_s, ToolError::Usage};
        if (command.value(u"install"_s) == u"archive"_s) {
            update.insert(u"install"_s, u"archive"_s);
            update.insert(u"unpackedSize"_s, unpackedSize(payload));
            checkUpdate(update);
        }
    }
    if (command.has(u"rollout"_s))
        putRollout(&update, command.value(u"rollout"_s));
    feed.putUpdate(update);
    writeAtomically(feedPath, feed.toJson());
    print(stderr, feedPath % u": "_s % update.value(u"id"_s).toString() % u", "_s
                      % QString::number(size) % u" bytes; sign the feed before publishing it\n"_s);
    return 0;
}

int set(const QStringList &arguments)
{
    const Command command(arguments, {u"FEED"_s}, {u"id"_s, u"rollout"_s});
    const QString feedPath = command.at(0);
    FeedDocument feed = FeedDocument::load(feedPath);
    QJsonObject update = feed.update(command.required(u"id"_s));
    putRollout(&update, command.required(u"rollout"_s));
    feed.putUpdate(update);
    writeAtomically(feedPath, feed.toJson());
    print(stderr, feedPath % u": "_s % command.value(u"id"_s) % u" goes to "_s
                      % command.value(u"rollout"_s) % u" % of machines once signed\n"_s);
    return 0;
}

// A whole file mapped read-only, for the compressor to read as it likes.
class MappedFile
{
public:
    explicit MappedFile(const QString &path)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st = {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0)
                ::close(fd);
            throw ToolError{path % u": cannot be read as a regular file"_s};
        }
        m_size = size_t(st.st_size);
        void *at = m_size ? ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
        ::close(fd);
        if (at == MAP_FAILED)
            throw ToolError{path % u": cannot be mapped"_s};
        m_data = static_cast<const char *>(at);
    }
    ~MappedFile()
    {
        if (m_data)
            ::munmap(const_cast<char *>(m_data), m_size);
    }
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    const char *data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    const char *m_data = nullptr;
    size_t m_size = 0;
};

// What zstd --patch-from --long -9 makes: one frame, with its content size,
// whose window reaches from the end of the new file back to the start of
// the old one. Level 9, not 19: with libzstd 1.5.4 the optimal parser of
// levels 16 and up stops finding the old file's matches in payloads of a
// few hundred megabytes (a 256 MiB payload came out at 99 %), and takes
// minutes where level 9 takes seconds; the long-distance matcher does the
// work either way.
QByteArray makeDelta(const QString &oldPath, const QString &newPath)
{
    constexpr int MaxWindowLog = 31;
    const MappedFile old(oldPath);
    const MappedFile now(newPath);
    const size_t reach = old.size() + now.size();
    if (reach > size_t(1) << MaxWindowLog)
        throw ToolError{u"the old and the new payload together pass 2 GiB, more than one delta can span"_s};
    int windowLog = 10; // zstd's smallest
    while ((size_t(1) << windowLog) < reach)
        ++windowLog;
    const std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    for (const size_t code :
         {ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 9),
          ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog),
          ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1),
          ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1),
          ZSTD_CCtx_refPrefix(context.get(), old.data(), old.size())}) {
        if (ZSTD_isError(code))
            throw ToolError{u"zstd: "_s % QString::fromLatin1(ZSTD_getErrorName(code))};
    }
    const size_t bound = ZSTD_compressBound(now.size());
    // Only the pages written are ever touched.
    const std::unique_ptr<char[]> out(new char[bound]);
    const size_t made = ZSTD_compress2(context.get(), out.get(), bound, now.data(), now.size());
    if (ZSTD_isError(made))
        throw ToolError{u"zstd: "_s % QString::fromLatin1(ZSTD_getErrorName(made))};
    return QByteArray(out.get(), qsizetype(made));
}

int delta(const QStringList &arguments)
{
    const Command command(arguments, {u"FEED"_s, u"OLDPAYLOAD"_s},
                          {u"id"_s, u"url"_s, u"out"_s, u"payload"_s});
    const QString feedPath = command.at(0);
    FeedDocument feed = FeedDocument::load(feedPath);
    QJsonObject update = feed.update(command.required(u"id"_s));
    const QString id = update.value(u"id"_s).toString();
    if (update.value(u"install"_s).toString() == u"archive"_s)
        throw ToolError{id % u" is an archive update, which carries no deltas"_s, ToolError::Usage};
    const QString payloadUrl = update.value(u"url"_s).toString();
    const QUrl resolved = QUrl::fromLocalFile(QFileInfo(feedPath).absoluteFilePath())
                              .resolved(QUrl(payloadUrl));
    if (!command.has(u"payload"_s) && !resolved.isLocalFile())
        throw ToolError{id % u"'s payload is not a local file: give --payload FILE"_s,
                        ToolError::Usage};
    const QString payload = command.has(u"payload"_s) ? command.value(u"payload"_s)
                                                       : resolved.toLocalFile();
    qint64 size = 0;
    const QString sha256 = QString::fromLatin1(sha256OfFile(payload, &size));
    if (size != update.value(u"size"_s).toInteger()
        || sha256.compare(update.value(u"sha256"_s).toString(), Qt::CaseInsensitive) != 0)
        throw ToolError{payload % u" is not the payload of "_s % id
                        % u" (its size or SHA-256 differs); give the right one with --payload"_s};
    qint64 oldSize = 0;
    const QString from = QString::fromLatin1(sha256OfFile(command.at(1), &oldSize));

    const QByteArray bytes = makeDelta(command.at(1), payload);
    const QString out = command.has(u"out"_s) ? command.value(u"out"_s)
                                               : payload % u".from-"_s % from.left(12) % u".zst"_s;
    writeAtomically(out, bytes);
    qint64 deltaSize = 0;
    const QJsonObject entry{
        {u"fromSha256"_s, from},
        {u"url"_s, command.has(u"url"_s)
                       ? command.value(u"url"_s)
                       : payloadUrl.left(payloadUrl.lastIndexOf(u'/') + 1) % QFileInfo(out).fileName()},
        {u"sha256"_s, QString::fromLatin1(sha256OfFile(out, &deltaSize))},
        {u"size"_s, deltaSize}};
    QJsonArray deltas;
    for (const QJsonValue &known : update.value(u"deltas"_s).toArray()) {
        if (known.toObject().value(u"fromSha256"_s).toString().compare(from, Qt::CaseInsensitive) != 0)
            deltas.append(known);
    }
    deltas.append(entry);
    update.insert(u"deltas"_s, deltas);
    checkUpdate(update);
    feed.putUpdate(update);
    writeAtomically(feedPath, feed.toJson());
    print(stderr, out % u": "_s % QString::number(deltaSize) % u" bytes ("_s
                      % QString::number(100.0 * double(deltaSize) / double(std::max<qint64>(size, 1)), 'f', 1)
                      % u" % of the payload), from "_s % command.at(1) % u"; sign the feed before publishing it\n"_s);
    return 0;
}

int sign(const QStringList &arguments)
{
    const Command command(arguments, {u"FEED"_s}, {u"key"_s, u"valid-for"_s, u"product"_s});
    const QString feedPath = command.at(0);
    bool ok = true;
    const int days = command.has(u"valid-for"_s) ? command.value(u"valid-for"_s).toInt(&ok)
                                                  : DefaultValidDays;
    if (!ok || days < 1 || days > MaxValidDays)
        throw ToolError{u"--valid-for takes a number of days from 1 to "_s
                            % QString::number(MaxValidDays),
                        ToolError::Usage};
    const SigningKey key = SigningKey::load(command.required(u"key"_s));
    const std::optional<Product> product =
        command.has(u"product"_s)
            ? std::optional(FeedVerifier::readProduct(command.required(u"product"_s)))
            : std::nullopt;
    // A key the installed product files do not list cuts every machine off at once.
    if (product && !product->keys.contains(key.publicKey()))
        throw ToolError{feedPath % u": not signed: the key "_s
                        % QString::fromLatin1(key.publicKey().toBase64()) % u" of "_s
                        % command.value(u"key"_s) % u" is not listed in "_s
                        % command.value(u"product"_s)
                        % u", so agents would refuse the feed; ship a product file that lists it"
                          " first (palvane-feed(1), KEY ROTATION)"_s};

    FeedDocument feed = FeedDocument::load(feedPath);
    feed.renew(QDateTime::currentDateTimeUtc().addDays(days));
    const QByteArray bytes = feed.toJson();
    const QByteArray signature = key.sign(bytes).toBase64() + '\n';
    // Never publish what the agent would refuse.
    const FeedVerifier::Verdict verdict = FeedVerifier::check(
        bytes, signature, product ? product->keys : QList<QByteArray>{key.publicKey()},
        product ? product->code : feed.product(),
        QUrl::fromLocalFile(QFileInfo(feedPath).absoluteFilePath()));
    if (!verdict.accepted)
        throw ToolError{feedPath % u": not signed, the agent would refuse it: "_s % verdict.reason};
    // Both files or neither: a feed without its signature is refused.
    for (const QString &path : {feedPath, QString(feedPath % u".sig"_s)}) {
        if (QFileInfo(path).isSymLink())
            throw ToolError{u"refusing to write "_s % path % u" through a symlink; nothing written"_s};
    }
    writeAtomically(feedPath, bytes);
    writeAtomically(feedPath % u".sig"_s, signature);
    const QString name = QFileInfo(feedPath).fileName();
    print(stderr, feedPath % u": signed: "_s % verdict.summary % u"\npublish "_s % name % u" and "_s
                      % name % u".sig together\n"_s
                      % (product ? QString()
                                 : u"(not checked against a product file: --product PRODUCTFILE"
                                   " refuses a key it does not list)\n"_s));
    return 0;
}

int verify(const QStringList &arguments)
{
    const Command command(arguments, {u"FEED"_s}, {u"product"_s, u"key"_s});
    if (command.has(u"product"_s) == command.has(u"key"_s))
        throw ToolError{u"verify takes either --product PRODUCTFILE or --key PUBLICKEY"_s,
                        ToolError::Usage};
    const std::optional<Product> product =
        command.has(u"product"_s)
            ? std::optional(FeedVerifier::readProduct(command.required(u"product"_s)))
            : std::nullopt;
    const FeedVerifier::Verdict verdict =
        product ? FeedVerifier::checkWithProduct(command.at(0), *product)
                : FeedVerifier::checkWithKey(command.at(0), command.required(u"key"_s).toLatin1());
    // Each user's own agent installs: a folder this user cannot write, the
    // others likely cannot either.
    QString why;
    if (product && !InstallFolder(product->installDir).canReceive(0, &why))
        print(stderr, u"palvane-feed: warning: "_s % why
                          % u": the agent of this user cannot install there; an installDir"
                            " starting with ~/ or $XDG_DATA_HOME/ is each user's own\n"_s);
    if (!verdict.accepted)
        throw ToolError{command.at(0) % u": refused: "_s % verdict.reason, ToolError::Refused};
    print(stdout, command.at(0) % u": accepted: "_s % verdict.summary % u'\n');
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString name = arguments.value(1);
    try {
        if (name == u"keygen"_s)
            return keygen(arguments);
        if (name == u"pubkey"_s)
            return pubkey(arguments);
        if (name == u"new-product"_s)
            return newProduct(arguments);
        if (name == u"add"_s)
            return add(arguments);
        if (name == u"set"_s)
            return set(arguments);
        if (name == u"sign"_s)
            return sign(arguments);
        if (name == u"delta"_s)
            return delta(arguments);
        if (name == u"verify"_s)
            return verify(arguments);
        if (name == u"--help"_s || name == u"-h"_s) {
            print(stdout, Usage);
            return 0;
        }
        throw ToolError{name.isEmpty() ? u"no command given"_s : u"unknown command "_s % name,
                        ToolError::Usage};
    } catch (const ToolError &error) {
        print(stderr, u"palvane-feed: "_s % error.message % u'\n');
        if (error.status == ToolError::Usage)
            print(stderr, u"palvane-feed --help lists the commands\n"_s);
        return error.status;
    }
}
