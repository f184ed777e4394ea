// SPDX-License-Identifier: GPL-3.0-or-later
// palvane-updates: the update agent's products and updates on the command
// line, for people without the window and for scripts. It reads the agent's
// status interface and installs through the same calls the client makes.
#include "StatusText.h"

#include "DbusUpdateService.h"
#include "RuntimeError.h"
#include "UpdateCollection.h"
#include "UpdateItem.h"
#include "UpdateService.h"
#include "service/Contract.h"
#include "service/StatusTypes.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString Usage = uR"(usage:
  palvane-updates [--json] list
  palvane-updates [--json] status CODE
  palvane-updates [--json] check [CODE]
  palvane-updates [--json] install CODE [ID ...]
  palvane-updates --help | --version

Exit status: 0 done (check: updates are offered), 1 check: no updates
offered; install: an update was not installed, 2 wrong command line,
3 check: a feed could not be fetched or was refused, 4 no such product or
update, 5 the update service could not be reached or failed, 130 install
interrupted.
)"_s;

enum Exit { Done = 0, NoneOrFailed = 1, BadCommandLine = 2, FeedFailed = 3, NotFound = 4,
            ServiceFailed = 5, Interrupted = 130 };

// A check waits for a feed fetch, which the agent bounds at 20 s.
constexpr int CheckTimeoutMs = 30000;
// After Cancel, the item's completion event should follow at once.
constexpr int CancelGraceMs = 5000;

struct Failure
{
    Exit exit;
    QString text;
};

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void printJson(const QJsonObject &object)
{
    print(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented)));
}

// Ctrl-C through a pipe into the event loop.
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

class Tool
{
public:
    explicit Tool(bool json)
        : m_json(json)
        , m_bus(QDBusConnection::sessionBus())
    {
        if (!m_bus.isConnected())
            throw Failure{ServiceFailed, u"Cannot connect to the session bus: "_s
                                             + m_bus.lastError().message()};
        registerStatusTypes();
        qDBusRegisterMetaType<QList<QVariantMap>>();
    }

    int list();
    int status(const QString &code);
    int check(const QStringList &codes);
    int install(const QString &code, const QStringList &ids);

private:
    template<typename T>
    T answer(QDBusPendingReply<T> reply, const QString &what)
    {
        reply.waitForFinished();
        if (reply.isError()) {
            const QDBusError error = reply.error();
            if (error.type() == QDBusError::InvalidArgs)
                throw Failure{NotFound, error.message()};
            if (error.type() == QDBusError::UnknownInterface
                || error.type() == QDBusError::UnknownMethod)
                throw Failure{ServiceFailed, u"the update service has no status interface ("_s
                                                 + error.message() + u')'};
            throw Failure{ServiceFailed, what + u" failed: "_s + error.name() + u": "_s
                                             + error.message()};
        }
        return reply.value();
    }

    // The reading calls go to the well-known name, so the bus starts the
    // agent on the first one: no start and owner lookup before them.
    QDBusPendingCall ask(const QString &method, const QVariantList &arguments = {},
                         int timeoutMs = -1)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QString::fromUtf16(Contract::ServiceName), QString::fromUtf16(Contract::ServicePath),
            QString::fromUtf16(Contract::StatusInterface), method);
        call.setArguments(arguments);
        return m_bus.asyncCall(call, timeoutMs);
    }
    QDBusPendingReply<QVariantMap> askStatus(const QString &method, const QString &code,
                                             int timeoutMs = -1)
    {
        return ask(method, {code}, timeoutMs);
    }

    StatusProductList products()
    {
        return answer(QDBusPendingReply<StatusProductList>(ask(u"ListProducts"_s)),
                      u"ListProducts"_s);
    }
    QVariantMap productStatus(const QString &code)
    {
        return DbusUpdateService::plainStatus(
            answer(askStatus(u"GetProductStatus"_s, code), u"GetProductStatus"_s));
    }

    bool m_json;
    QDBusConnection m_bus;
};

int Tool::list()
{
    // All asked at once: one round trip's wait instead of one per product.
    const StatusProductList all = products();
    QList<QDBusPendingReply<QVariantMap>> replies;
    for (const StatusProduct &product : all)
        replies.append(askStatus(u"GetProductStatus"_s, product.code));
    QJsonArray out;
    for (qsizetype i = 0; i < all.size(); ++i) {
        const StatusProduct &product = all.at(i);
        const QVariantMap status =
            DbusUpdateService::plainStatus(answer(replies.at(i), u"GetProductStatus"_s));
        if (m_json)
            out.append(QJsonObject{{u"code"_s, product.code},
                                   {u"name"_s, product.name},
                                   {u"feedState"_s, status.value(u"feedState"_s).toString()},
                                   {u"offered"_s, int(StatusText::offered(status).size())}});
        else
            print(stdout, StatusText::summary(status) + u'\n');
    }
    if (m_json)
        printJson({{u"products"_s, out}});
    return Done;
}

int Tool::status(const QString &code)
{
    const QVariantMap status = productStatus(code);
    if (m_json)
        printJson(StatusText::json(status));
    else
        print(stdout, StatusText::readable(status));
    return Done;
}

int Tool::check(const QStringList &codes)
{
    QStringList all = codes;
    if (all.isEmpty()) {
        for (const StatusProduct &product : products())
            all.append(product.code);
    }
    QJsonArray out;
    bool failed = false;
    bool offered = false;
    for (const QString &code : all) {
        const QVariantMap status = DbusUpdateService::plainStatus(answer(askStatus(u"Check"_s, code, CheckTimeoutMs), u"Check"_s));
        failed = failed || StatusText::feedFailed(status);
        offered = offered || !StatusText::offered(status).isEmpty();
        if (m_json) {
            out.append(StatusText::json(status));
            continue;
        }
        print(stdout, StatusText::summary(status) + u'\n');
        for (const QString &problem : StatusText::problems(status))
            print(stdout, u"  "_s + problem + u'\n');
    }
    if (m_json)
        printJson({{u"products"_s, out}});
    return failed ? FeedFailed : offered ? Done : NoneOrFailed;
}

// One download, then the install, of an item; Ctrl-C cancels the download.
class Installation
{
public:
    Installation(UpdateItem &item, const QVariantMap &update, bool progress)
        : m_item(item)
        , m_update(update)
        , m_progress(progress)
    {
    }

    struct Result
    {
        bool installed = false;
        bool interrupted = false;
        QString text;
    };

    Result run(QSocketNotifier &interrupt)
    {
        Result result;
        QEventLoop loop;
        int code = -1;
        QObject::connect(&m_item, &UpdateItem::OnProgressChanged, &loop,
                         [this](int, int percent, const QString &rate, const QString &left) {
                             showProgress(percent, rate, left);
                         });
        QObject::connect(&m_item, &UpdateItem::OnDownloadComplete, &loop, [&](int resultCode) {
            code = resultCode;
            loop.quit();
        });
        QObject::connect(&interrupt, &QSocketNotifier::activated, &loop, [&] {
            char byte;
            [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
            if (result.interrupted)
                return;
            result.interrupted = true;
            m_item.Cancel();
            QTimer::singleShot(CancelGraceMs, &loop, &QEventLoop::quit);
        });
        m_item.Execute();
        loop.exec();
        if (m_progress)
            print(stderr, u"\n"_s);
        if (code != int(Contract::DownloadResult::Success)) {
            result.text = result.interrupted ? u"Download cancelled."_s : m_item.GetText(1);
            return result;
        }
        // A download that completed before the cancel took effect is installed
        // all the same: the verified file is whole.
        m_item.Execute();
        result.installed = true;
        return result;
    }

private:
    void showProgress(int percent, const QString &rate, const QString &left)
    {
        if (!m_progress)
            return;
        print(stderr, u"\r\x1b[K"_s + StatusText::oneLine(m_update.value(u"name"_s).toString())
                          + u"  "_s + QString::number(percent) + u"%  "_s
                          + StatusText::oneLine(rate) + u"  "_s + StatusText::oneLine(left));
    }

    UpdateItem &m_item;
    QVariantMap m_update;
    bool m_progress;
};

int Tool::install(const QString &code, const QStringList &ids)
{
    productStatus(code); // an unknown code fails here
    std::unique_ptr<UpdateService> service = DbusUpdateService::create(m_bus);
    std::shared_ptr<UpdateCollection> collection = service->GetUpdates(code);
    // Read after GetUpdates, which records updates found in place: what is
    // not installed now is what the collection holds, in its order.
    const QVariantMap status = productStatus(code);
    const QList<QVariantMap> offered = StatusText::offered(status);
    const int count = collection->Count();
    if (count != offered.size())
        throw Failure{ServiceFailed, u"the agent offers "_s + QString::number(count)
                                         + u" update(s) but lists "_s
                                         + QString::number(offered.size())
                                         + u" as not installed; try again"_s};
    QList<std::pair<std::shared_ptr<UpdateItem>, QVariantMap>> chosen;
    QStringList missing = ids;
    for (int i = 1; i <= count; ++i) {
        const QVariantMap &update = offered.at(i - 1);
        const QString id = update.value(u"id"_s).toString();
        if (!ids.isEmpty() && !ids.contains(id))
            continue;
        std::shared_ptr<UpdateItem> item = collection->Item(i);
        if (item->GetName(0) != update.value(u"name"_s).toString())
            throw Failure{ServiceFailed, u"the agent's list changed while reading it; try again"_s};
        chosen.append({item, update});
        missing.removeAll(id);
    }
    if (!missing.isEmpty())
        throw Failure{NotFound, u"not offered for "_s + code + u": "_s + missing.join(u", "_s)};

    // Ctrl-C from here on cancels the running download instead of leaving
    // it to the agent to notice this connection gone.
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Failure{ServiceFailed, u"cannot make a pipe"_s};
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QSocketNotifier interrupt(g_signalPipe[0], QSocketNotifier::Read);
    const bool progress = !m_json && ::isatty(STDERR_FILENO);
    QJsonArray out;
    bool allInstalled = true;
    bool interrupted = false;
    for (const auto &[item, update] : chosen) {
        const QString id = update.value(u"id"_s).toString();
        QJsonObject entry{{u"id"_s, id}, {u"name"_s, update.value(u"name"_s).toString()},
                          {u"version"_s, update.value(u"version"_s).toString()}};
        Installation::Result result;
        if (interrupted) {
            result.text = u"Not started: interrupted."_s;
        } else if (item->PrepareDownload(Contract::True) != Contract::True) {
            const QStringList why = StatusText::problems(productStatus(code));
            result.text = u"The agent cannot start it now"_s
                          + (why.isEmpty() ? u"."_s : u": "_s + why.join(u' '));
        } else {
            try {
                result = Installation(*item, update, progress).run(interrupt);
            } catch (const RuntimeError &error) {
                result.text = error.description();
            }
            interrupted = interrupted || result.interrupted;
        }
        allInstalled = allInstalled && result.installed;
        entry[u"installed"_s] = result.installed;
        if (!result.installed)
            entry[u"text"_s] = result.text;
        out.append(entry);
        if (!m_json)
            print(result.installed ? stdout : stderr,
                  id + (result.installed ? u": installed\n"_s
                                         : u": not installed - "_s + StatusText::oneLine(result.text)
                                               + u'\n'));
    }
    if (m_json)
        printJson({{u"product"_s, code}, {u"updates"_s, out}, {u"interrupted"_s, interrupted}});
    return interrupted ? Interrupted : allInstalled ? Done : NoneOrFailed;
}

int run(QStringList arguments)
{
    arguments.removeFirst();
    if (arguments.contains(u"--help"_s) || arguments.contains(u"-h"_s)) {
        print(stdout, Usage);
        return Done;
    }
    if (arguments.contains(u"--version"_s)) {
        print(stdout, u"palvane-updates "_s + QString::fromLatin1(KELVARRA_VERSION) + u'\n');
        return Done;
    }
    const bool json = arguments.removeAll(u"--json"_s) > 0;
    for (const QString &argument : arguments) {
        if (argument.startsWith(u'-'))
            throw Failure{BadCommandLine, u"unknown option "_s + argument};
    }
    const QString command = arguments.value(0);
    const QStringList rest = arguments.mid(1);
    const auto need = [&](bool ok) {
        if (!ok)
            throw Failure{BadCommandLine, command.isEmpty() ? u"a command is needed"_s
                                                            : u"wrong arguments for "_s + command};
    };
    if (command == u"list"_s) {
        need(rest.isEmpty());
        return Tool(json).list();
    }
    if (command == u"status"_s) {
        need(rest.size() == 1);
        return Tool(json).status(rest.at(0));
    }
    if (command == u"check"_s) {
        need(rest.size() <= 1);
        return Tool(json).check(rest);
    }
    if (command == u"install"_s) {
        need(!rest.isEmpty());
        return Tool(json).install(rest.at(0), rest.mid(1));
    }
    need(!command.isEmpty());
    throw Failure{BadCommandLine, u"unknown command "_s + command};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    try {
        return run(app.arguments());
    } catch (const Failure &failure) {
        print(stderr, u"palvane-updates: "_s + StatusText::oneLine(failure.text) + u'\n');
        if (failure.exit == BadCommandLine)
            print(stderr, Usage);
        return failure.exit;
    } catch (const RuntimeError &error) {
        print(stderr, u"palvane-updates: "_s + StatusText::oneLine(error.description()) + u'\n');
        return ServiceFailed;
    }
}
