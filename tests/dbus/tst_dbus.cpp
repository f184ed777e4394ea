// SPDX-License-Identifier: GPL-3.0-or-later
#include "DbusUpdateService.h"
#include "PrivateBus.h"
#include "RuntimeError.h"
#include "ServiceControl.h"
#include "UpdateCollection.h"
#include "UpdateItem.h"
#include "service/Contract.h"

#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QString serviceName = QString::fromUtf16(Contract::ServiceName);
const QString servicePath = QString::fromUtf16(Contract::ServicePath);
const QString agentInterface = QString::fromUtf16(Contract::AgentInterface);
const QString mainInterface = QString::fromUtf16(Contract::ServiceInterface);
const QString collectionInterface = QString::fromUtf16(Contract::CollectionInterface);
const QString itemInterface = QString::fromUtf16(Contract::ItemInterface);
const QString eventsInterface = QString::fromUtf16(Contract::ItemEventsInterface);
// The scripted service's own choice of paths.
const QString collectionPath = servicePath + u"/updates/7"_s;
const QString itemPath = collectionPath + u"/item/1"_s;
const QString productCode = u"{6F1C5E0A-2B3D-4C5E-8F90-A1B2C3D4E5F6}"_s;
const QString errorName = u"com.palvane.UpdateService.Error.Refused"_s;

template<typename F>
std::optional<RuntimeError> failureOf(F &&operation)
{
    try {
        operation();
    } catch (const RuntimeError &error) {
        return error;
    }
    return std::nullopt;
}

// A bare qint16 would become an int in a QVariant.
QVariant int16Value(qint16 value)
{
    return QVariant::fromValue(value);
}

QVariant pathValue(const QString &path)
{
    return QVariant::fromValue(QDBusObjectPath(path));
}

QVariant variantValue(const QVariant &held)
{
    return QVariant::fromValue(QDBusVariant(held));
}

// The test cannot fail from inside a helper, so helpers report and the
// caller checks.
#define CONTROL(call) QVERIFY2((call), #call)

} // namespace

class tst_Dbus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void createStartsAnActivatableService();
    void createUsesTheSessionBus();
    void createUsesARunningServiceAsItIs();
    void createFailsWhenNotActivatable();
    void createFailsWithoutBus();

    void isConnectedPassesTheCodeAndReturnsTheValueAsIs_data();
    void isConnectedPassesTheCodeAndReturnsTheValueAsIs();
    void getUpdatesQueriesTheCollectionBeforeUse();
    void countReturnsTheValueAsIs_data();
    void countReturnsTheValueAsIs();
    void itemQueriesTheItemBeforeUse();
    void itemMethodsUseTheContractTypes_data();
    void itemMethodsUseTheContractTypes();
    void prepareDownloadIsNotCoerced_data();
    void prepareDownloadIsNotCoerced();
    void replyOfAnotherTypeIsUnexpected_data();
    void replyOfAnotherTypeIsUnexpected();
    void errorReplyFailsTheOperation_data();
    void errorReplyFailsTheOperation();
    void serviceLeavingWithoutReplyFailsTheOperation();
    void objectLackingTheInterfaceFailsTheQuery_data();
    void objectLackingTheInterfaceFailsTheQuery();
    void itemWithoutEventsInterfaceIsAccepted();

    void eventsAreDelivered();
    void eventsWithAnotherShapeAreIgnored_data();
    void eventsWithAnotherShapeAreIgnored();
    void eventsFromAnotherConnectionAreIgnored();
    void eventsStopWithTheItemObject();
    void blockingCallsDeliverNothingMeanwhile();
    void restartedServiceDoesNotReachOldObjects();

private:
    bool isRegistered() const;
    std::shared_ptr<UpdateCollection> fetchCollection(UpdateService &service);
    std::shared_ptr<UpdateItem> fetchItem(UpdateCollection &collection, const QString &path);
    std::shared_ptr<UpdateItem> freshItem();
    // A service, collection and item to call `operation` (a member name) on.
    std::function<void()> prepareOperation(const QString &operation);
    // Emits a good OnDownloadComplete(marker) from the item's path and waits
    // for it; everything sent to the item before it has then been handled.
    bool deliverMarker(QSignalSpy &completeSpy, int marker);

    QTemporaryDir m_busDir;
    std::unique_ptr<PrivateBus> m_busDaemon;
    QDBusConnection m_bus{u"unset"_s};
    std::unique_ptr<ServiceControl> m_control;
    std::unique_ptr<UpdateService> m_service;
};

void tst_Dbus::initTestCase()
{
    QVERIFY(m_busDir.isValid());
    m_busDaemon = std::make_unique<PrivateBus>(m_busDir.path(), QStringList{QStringLiteral(TEST_SERVICE_DIR)});
    QString error;
    QVERIFY2(m_busDaemon->start(&error), qPrintable(error));
    // Anything that asks for the session bus, the service started by the bus
    // included, gets the private one.
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_busDaemon->address().toUtf8());
    m_bus = QDBusConnection::connectToBus(m_busDaemon->address(), u"client"_s);
    QVERIFY(m_bus.isConnected());
    m_control = std::make_unique<ServiceControl>(m_bus);
}

void tst_Dbus::init()
{
    QVERIFY(!isRegistered());
}

void tst_Dbus::cleanup()
{
    m_service.reset();
    if (isRegistered())
        m_control->quit();
    QTRY_VERIFY_WITH_TIMEOUT(!isRegistered(), 5000);
}

void tst_Dbus::cleanupTestCase()
{
    m_control.reset();
    QDBusConnection::disconnectFromBus(u"client"_s);
    m_busDaemon.reset();
}

bool tst_Dbus::isRegistered() const
{
    return m_bus.interface()->isServiceRegistered(serviceName).value();
}

std::shared_ptr<UpdateCollection> tst_Dbus::fetchCollection(UpdateService &service)
{
    if (!m_control->addObject(collectionPath, {collectionInterface})
        || !m_control->setReply(servicePath, u"GetUpdates"_s, {pathValue(collectionPath)}))
        return {};
    return service.GetUpdates(productCode);
}

std::shared_ptr<UpdateItem> tst_Dbus::fetchItem(UpdateCollection &collection, const QString &path)
{
    if (!m_control->addObject(path, {itemInterface, eventsInterface})
        || !m_control->setReply(collectionPath, u"Item"_s, {variantValue(pathValue(path))}))
        return {};
    return collection.Item(1);
}

std::shared_ptr<UpdateItem> tst_Dbus::freshItem()
{
    m_service = DbusUpdateService::create(m_bus);
    const auto collection = fetchCollection(*m_service);
    return collection ? fetchItem(*collection, itemPath) : nullptr;
}

std::function<void()> tst_Dbus::prepareOperation(const QString &operation)
{
    const auto item = freshItem();
    const std::shared_ptr<UpdateCollection> collection =
        item ? m_service->GetUpdates(productCode) : nullptr;
    if (!collection)
        return {};
    const QHash<QString, std::function<void()>> operations{
        {u"IsConnected"_s, [this] { m_service->IsConnected(productCode); }},
        {u"GetUpdates"_s, [this] { m_service->GetUpdates(productCode); }},
        {u"Count"_s, [collection] { collection->Count(); }},
        {u"Item"_s, [collection] { collection->Item(1); }},
        {u"GetName"_s, [item] { item->GetName(0); }},
        {u"Cancel"_s, [item] { item->Cancel(); }},
        {u"PrepareDownload"_s, [item] { item->PrepareDownload(Contract::True); }},
        {u"Execute"_s, [item] { item->Execute(); }},
        {u"GetText"_s, [item] { item->GetText(1); }},
    };
    return operations.value(operation);
}

bool tst_Dbus::deliverMarker(QSignalSpy &completeSpy, int marker)
{
    const qsizetype before = completeSpy.count();
    if (!m_control->emitSignal(itemPath, eventsInterface, u"OnDownloadComplete"_s, {marker}))
        return false;
    while (completeSpy.count() == before) {
        if (!completeSpy.wait(5000))
            return false;
    }
    return completeSpy.count() == before + 1 && completeSpy.last() == QVariantList{marker};
}

void tst_Dbus::createStartsAnActivatableService()
{
    m_service = DbusUpdateService::create(m_bus);
    QVERIFY(isRegistered());
    CONTROL(m_control->setReply(servicePath, u"IsConnected"_s, {int16Value(Contract::True)}));
    QCOMPARE(m_service->IsConnected(productCode), Contract::True);
}

void tst_Dbus::createUsesTheSessionBus()
{
    m_service = DbusUpdateService::create();
    QVERIFY(isRegistered());
}

void tst_Dbus::createUsesARunningServiceAsItIs()
{
    QProcess running;
    running.setProgram(QStringLiteral(TEST_SERVICE));
    running.setProcessChannelMode(QProcess::ForwardedChannels);
    running.start();
    QTRY_VERIFY_WITH_TIMEOUT(isRegistered(), 5000);
    const uint pid = m_bus.interface()->servicePid(serviceName).value();

    m_service = DbusUpdateService::create(m_bus);
    CONTROL(m_control->setReply(servicePath, u"IsConnected"_s, {int16Value(Contract::False)}));
    QCOMPARE(m_service->IsConnected(productCode), Contract::False);
    QCOMPARE(qint64(pid), running.processId());

    CONTROL(m_control->quit());
    QVERIFY(running.waitForFinished(5000));
}

void tst_Dbus::createFailsWhenNotActivatable()
{
    QTemporaryDir dir;
    PrivateBus bare(dir.path());
    QString error;
    QVERIFY2(bare.start(&error), qPrintable(error));
    {
        const QDBusConnection bus = QDBusConnection::connectToBus(bare.address(), u"bare"_s);
        const auto error = failureOf([&] { DbusUpdateService::create(bus); });
        QVERIFY(error);
        QCOMPARE(error->number(), RuntimeError::ServiceUnavailable);
        QVERIFY2(error->description().contains(u"org.freedesktop.DBus.Error.ServiceUnknown"_s),
                 qPrintable(error->description()));
        QVERIFY(error->description().contains(serviceName));
        QVERIFY2(error->description().endsWith(
                     u"(the update agent palvane-update-agent is not installed, or the session bus cannot start it)"_s),
                 qPrintable(error->description()));
    }
    QDBusConnection::disconnectFromBus(u"bare"_s);
}

void tst_Dbus::createFailsWithoutBus()
{
    {
        const QDBusConnection bus = QDBusConnection::connectToBus(
            u"unix:path=/nonexistent/kelvarra-test-bus"_s, u"nobus"_s);
        const auto error = failureOf([&] { DbusUpdateService::create(bus); });
        QVERIFY(error);
        QCOMPARE(error->number(), RuntimeError::ServiceUnavailable);
        QVERIFY2(error->description().contains(u"org.freedesktop.DBus.Error."_s),
                 qPrintable(error->description()));
    }
    QDBusConnection::disconnectFromBus(u"nobus"_s);
}

void tst_Dbus::isConnectedPassesTheCodeAndReturnsTheValueAsIs_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<qint16>("reply");
    QTest::newRow("true") << productCode << Contract::True;
    QTest::newRow("false") << productCode << Contract::False;
    QTest::newRow("one is not true") << productCode << qint16(1);
    QTest::newRow("lowest") << productCode << qint16(-32768);
    QTest::newRow("non-ASCII code") << u"{Größe-€-漢字-😀}"_s << Contract::True;
    QTest::newRow("empty code") << QString() << Contract::False;
}

void tst_Dbus::isConnectedPassesTheCodeAndReturnsTheValueAsIs()
{
    QFETCH(QString, code);
    QFETCH(qint16, reply);
    m_service = DbusUpdateService::create(m_bus);
    CONTROL(m_control->setReply(servicePath, u"IsConnected"_s, {int16Value(reply)}));

    QCOMPARE(m_service->IsConnected(code), reply);
    const QList<QStringList> expected{{servicePath, agentInterface, u"IsConnected"_s, u"s"_s, code}};
    QCOMPARE(m_control->takeCalls(), expected);
}

void tst_Dbus::getUpdatesQueriesTheCollectionBeforeUse()
{
    const QString code = u"{Ünïcødé}"_s;
    m_service = DbusUpdateService::create(m_bus);
    CONTROL(m_control->addObject(collectionPath, {collectionInterface}));
    CONTROL(m_control->setReply(servicePath, u"GetUpdates"_s, {pathValue(collectionPath)}));
    CONTROL(m_control->setReply(collectionPath, u"Count"_s, {2}));

    const auto collection = m_service->GetUpdates(code);
    QVERIFY(collection);
    QCOMPARE(collection->Count(), 2);
    const QList<QStringList> expected{
        {servicePath, mainInterface, u"GetUpdates"_s, u"s"_s, code},
        {collectionPath, u"org.freedesktop.DBus.Introspectable"_s, u"Introspect"_s, QString()},
        {collectionPath, collectionInterface, u"Count"_s, QString()},
    };
    QCOMPARE(m_control->takeCalls(), expected);
}

void tst_Dbus::countReturnsTheValueAsIs_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("none") << 0;
    QTest::newRow("three") << 3;
    QTest::newRow("negative") << -1;
    QTest::newRow("largest") << std::numeric_limits<int>::max();
}

void tst_Dbus::countReturnsTheValueAsIs()
{
    QFETCH(int, count);
    m_service = DbusUpdateService::create(m_bus);
    const auto collection = fetchCollection(*m_service);
    QVERIFY(collection);
    CONTROL(m_control->setReply(collectionPath, u"Count"_s, {count}));
    QCOMPARE(collection->Count(), count);
}

void tst_Dbus::itemQueriesTheItemBeforeUse()
{
    m_service = DbusUpdateService::create(m_bus);
    const auto collection = fetchCollection(*m_service);
    QVERIFY(collection);
    CONTROL(m_control->addObject(itemPath, {itemInterface, eventsInterface}));
    CONTROL(m_control->setReply(collectionPath, u"Item"_s, {variantValue(pathValue(itemPath))}));
    CONTROL(m_control->setReply(itemPath, u"GetName"_s, {u"Patch"_s}));
    m_control->takeCalls();

    const auto item = collection->Item(3);
    QVERIFY(item);
    QCOMPARE(item->GetName(0), u"Patch"_s);
    const QList<QStringList> expected{
        {collectionPath, collectionInterface, u"Item"_s, u"i"_s, u"3"_s},
        {itemPath, u"org.freedesktop.DBus.Introspectable"_s, u"Introspect"_s, QString()},
        {itemPath, itemInterface, u"GetName"_s, u"i"_s, u"0"_s},
    };
    QCOMPARE(m_control->takeCalls(), expected);
}

void tst_Dbus::itemMethodsUseTheContractTypes_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<QVariantList>("reply");
    QTest::addColumn<QStringList>("expectedCall");
    QTest::addColumn<QString>("expectedResult");
    QTest::newRow("GetName") << u"GetName"_s << QVariantList{u"Größe 2.0 – 漢字"_s}
                             << QStringList{u"i"_s, u"0"_s} << u"Größe 2.0 – 漢字"_s;
    QTest::newRow("GetText") << u"GetText"_s << QVariantList{u"Download failed"_s}
                             << QStringList{u"i"_s, u"1"_s} << u"Download failed"_s;
    QTest::newRow("Cancel") << u"Cancel"_s << QVariantList{} << QStringList{QString()} << QString();
    QTest::newRow("Execute") << u"Execute"_s << QVariantList{} << QStringList{QString()}
                             << QString();
}

void tst_Dbus::itemMethodsUseTheContractTypes()
{
    QFETCH(QString, member);
    QFETCH(QVariantList, reply);
    QFETCH(QStringList, expectedCall);
    QFETCH(QString, expectedResult);
    const auto item = freshItem();
    QVERIFY(item);
    CONTROL(m_control->setReply(itemPath, member, reply));
    m_control->takeCalls();

    QString result;
    if (member == "GetName"_L1)
        result = item->GetName(0);
    else if (member == "GetText"_L1)
        result = item->GetText(1);
    else if (member == "Cancel"_L1)
        item->Cancel();
    else
        item->Execute();
    QCOMPARE(result, expectedResult);
    const QList<QStringList> expected{QStringList{itemPath, itemInterface, member} + expectedCall};
    QCOMPARE(m_control->takeCalls(), expected);
}

void tst_Dbus::prepareDownloadIsNotCoerced_data()
{
    QTest::addColumn<qint16>("argument");
    QTest::addColumn<qint16>("reply");
    QTest::newRow("true, true") << Contract::True << Contract::True;
    QTest::newRow("true, false") << Contract::True << Contract::False;
    QTest::newRow("true, one") << Contract::True << qint16(1);
    QTest::newRow("false, highest") << Contract::False << qint16(32767);
}

void tst_Dbus::prepareDownloadIsNotCoerced()
{
    QFETCH(qint16, argument);
    QFETCH(qint16, reply);
    const auto item = freshItem();
    QVERIFY(item);
    CONTROL(m_control->setReply(itemPath, u"PrepareDownload"_s, {int16Value(reply)}));
    m_control->takeCalls();

    QCOMPARE(item->PrepareDownload(argument), reply);
    const QList<QStringList> expected{{itemPath, itemInterface, u"PrepareDownload"_s, u"n"_s,
                                       QString::number(argument)}};
    QCOMPARE(m_control->takeCalls(), expected);
}

// Each row: the object and member whose reply is replaced, the reply, and the
// operation that must then fail.
void tst_Dbus::replyOfAnotherTypeIsUnexpected_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("member");
    QTest::addColumn<QVariantList>("reply");
    QTest::addColumn<QString>("operation");
    const QVariant path = pathValue(itemPath);
    QTest::newRow("IsConnected int") << servicePath << u"IsConnected"_s << QVariantList{int(Contract::True)} << u"IsConnected"_s;
    QTest::newRow("IsConnected bool") << servicePath << u"IsConnected"_s << QVariantList{true} << u"IsConnected"_s;
    QTest::newRow("IsConnected nothing") << servicePath << u"IsConnected"_s << QVariantList{} << u"IsConnected"_s;
    QTest::newRow("IsConnected extra") << servicePath << u"IsConnected"_s << QVariantList{int16Value(Contract::True), int16Value(Contract::False)} << u"IsConnected"_s;
    QTest::newRow("GetUpdates string") << servicePath << u"GetUpdates"_s << QVariantList{collectionPath} << u"GetUpdates"_s;
    QTest::newRow("GetUpdates variant") << servicePath << u"GetUpdates"_s << QVariantList{variantValue(pathValue(collectionPath))} << u"GetUpdates"_s;
    QTest::newRow("Count string") << collectionPath << u"Count"_s << QVariantList{u"1"_s} << u"Count"_s;
    QTest::newRow("Count int16") << collectionPath << u"Count"_s << QVariantList{int16Value(1)} << u"Count"_s;
    QTest::newRow("Item bare path") << collectionPath << u"Item"_s << QVariantList{path} << u"Item"_s;
    QTest::newRow("Item variant of string") << collectionPath << u"Item"_s << QVariantList{variantValue(itemPath)} << u"Item"_s;
    QTest::newRow("Item variant of int") << collectionPath << u"Item"_s << QVariantList{variantValue(1)} << u"Item"_s;
    QTest::newRow("Item variant of variant") << collectionPath << u"Item"_s << QVariantList{variantValue(variantValue(path))} << u"Item"_s;
    QTest::newRow("GetName int") << itemPath << u"GetName"_s << QVariantList{0} << u"GetName"_s;
    QTest::newRow("PrepareDownload int") << itemPath << u"PrepareDownload"_s << QVariantList{int(Contract::True)} << u"PrepareDownload"_s;
    QTest::newRow("PrepareDownload bool") << itemPath << u"PrepareDownload"_s << QVariantList{true} << u"PrepareDownload"_s;
    QTest::newRow("Execute with value") << itemPath << u"Execute"_s << QVariantList{int16Value(0)} << u"Execute"_s;
    QTest::newRow("Introspect not text") << itemPath << u"Introspect"_s << QVariantList{1} << u"Item"_s;
    QTest::newRow("Introspect not XML") << itemPath << u"Introspect"_s << QVariantList{u"<node><interface"_s} << u"Item"_s;
    QTest::newRow("Introspect other root") << itemPath << u"Introspect"_s << QVariantList{u"<nodes/>"_s} << u"Item"_s;
}

void tst_Dbus::replyOfAnotherTypeIsUnexpected()
{
    QFETCH(QString, path);
    QFETCH(QString, member);
    QFETCH(QVariantList, reply);
    QFETCH(QString, operation);
    const auto call = prepareOperation(operation);
    QVERIFY(call);
    CONTROL(m_control->setReply(path, member, reply));

    const auto error = failureOf(call);
    QVERIFY(error);
    QCOMPARE(error->number(), RuntimeError::UnexpectedReply);
}

void tst_Dbus::errorReplyFailsTheOperation_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("member");
    QTest::addColumn<QString>("operation");
    for (const char *member : {"IsConnected", "GetUpdates"})
        QTest::newRow(member) << servicePath << QString::fromLatin1(member) << QString::fromLatin1(member);
    for (const char *member : {"Count", "Item"})
        QTest::newRow(member) << collectionPath << QString::fromLatin1(member) << QString::fromLatin1(member);
    for (const char *member : {"GetName", "Cancel", "PrepareDownload", "Execute", "GetText"})
        QTest::newRow(member) << itemPath << QString::fromLatin1(member) << QString::fromLatin1(member);
    QTest::newRow("Introspect") << itemPath << u"Introspect"_s << u"Item"_s;
}

void tst_Dbus::errorReplyFailsTheOperation()
{
    QFETCH(QString, path);
    QFETCH(QString, member);
    QFETCH(QString, operation);
    const QString text = u"Dienst verweigert: “%1”"_s.arg(member);
    const auto call = prepareOperation(operation);
    QVERIFY(call);
    CONTROL(m_control->setError(path, member, errorName, text));

    const auto error = failureOf(call);
    QVERIFY(error);
    QCOMPARE(error->number(), RuntimeError::OperationFailed);
    QCOMPARE(error->description(), errorName + u": "_s + text);
}

void tst_Dbus::serviceLeavingWithoutReplyFailsTheOperation()
{
    const auto item = freshItem();
    QVERIFY(item);
    CONTROL(m_control->vanishOn(itemPath, u"Execute"_s));

    const auto error = failureOf([&] { item->Execute(); });
    QVERIFY(error);
    QCOMPARE(error->number(), RuntimeError::OperationFailed);
    QVERIFY2(error->description().startsWith(u"org.freedesktop.DBus.Error.NoReply: "_s),
             qPrintable(error->description()));
}

void tst_Dbus::objectLackingTheInterfaceFailsTheQuery_data()
{
    QTest::addColumn<bool>("isCollection");
    QTest::addColumn<QString>("introspection");
    // <node>, then `before`, the interface, `after`, </node>.
    const auto node = [](const QString &interface, QStringView before = {}, QStringView after = {}) {
        return QString(u"<node>"_s + before + u"<interface name=\""_s + interface + u"\"/>"_s
                       + after + u"</node>"_s);
    };
    const QString other = node(serviceName + u".Other"_s);
    QTest::newRow("collection: other interface") << true << other;
    QTest::newRow("collection: item interface") << true << node(itemInterface);
    QTest::newRow("collection: introspection only") << true << QString();
    QTest::newRow("item: other interface") << false << other;
    QTest::newRow("item: events only") << false << node(eventsInterface);
    QTest::newRow("item: in a child node only")
        << false << node(itemInterface, u"<node name=\"sub\">", u"</node>");
    QTest::newRow("item: in a comment only") << false << node(itemInterface, u"<!-- ", u" -->");
    QTest::newRow("item: name differs in case") << false << node(itemInterface.toLower());
}

void tst_Dbus::objectLackingTheInterfaceFailsTheQuery()
{
    QFETCH(bool, isCollection);
    QFETCH(QString, introspection);
    const QString path = isCollection ? collectionPath : itemPath;
    const QString interface = isCollection ? collectionInterface : itemInterface;
    m_service = DbusUpdateService::create(m_bus);
    CONTROL(m_control->setReply(servicePath, u"GetUpdates"_s, {pathValue(collectionPath)}));
    CONTROL(m_control->setReply(collectionPath, u"Item"_s, {variantValue(pathValue(itemPath))}));
    if (!isCollection)
        CONTROL(m_control->addObject(collectionPath, {collectionInterface}));
    if (!introspection.isEmpty())
        CONTROL(m_control->setReply(path, u"Introspect"_s, {introspection}));
    else
        CONTROL(m_control->addObject(path, {}));

    const auto error = failureOf([&] {
        const auto collection = m_service->GetUpdates(productCode);
        collection->Item(1);
    });
    QVERIFY(error);
    QCOMPARE(error->number(), RuntimeError::InterfaceMissing);
    QVERIFY2(error->description().contains(path) && error->description().contains(interface),
             qPrintable(error->description()));
}

void tst_Dbus::itemWithoutEventsInterfaceIsAccepted()
{
    m_service = DbusUpdateService::create(m_bus);
    const auto collection = fetchCollection(*m_service);
    QVERIFY(collection);
    CONTROL(m_control->addObject(itemPath, {itemInterface}));
    CONTROL(m_control->setReply(collectionPath, u"Item"_s, {variantValue(pathValue(itemPath))}));
    QVERIFY(collection->Item(1));
}

void tst_Dbus::eventsAreDelivered()
{
    const auto item = freshItem();
    QVERIFY(item);
    QSignalSpy begin(item.get(), &UpdateItem::OnDownloadBegin);
    QSignalSpy progress(item.get(), &UpdateItem::OnProgressChanged);
    QSignalSpy complete(item.get(), &UpdateItem::OnDownloadComplete);

    CONTROL(m_control->emitSignal(itemPath, eventsInterface, u"OnDownloadBegin"_s, {}));
    CONTROL(m_control->emitSignal(itemPath, eventsInterface, u"OnProgressChanged"_s,
                                  {1048576, 42, u"1,5 MB/s"_s, u"noch 3 Min – ≈"_s}));
    CONTROL(m_control->emitSignal(itemPath, eventsInterface, u"OnDownloadComplete"_s, {-5}));
    QTRY_COMPARE_WITH_TIMEOUT(complete.count(), 1, 5000);
    QCOMPARE(begin.count(), 1);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.first(), (QVariantList{1048576, 42, u"1,5 MB/s"_s, u"noch 3 Min – ≈"_s}));
    QCOMPARE(complete.first(), QVariantList{-5});
}

void tst_Dbus::eventsWithAnotherShapeAreIgnored_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QString>("member");
    QTest::addColumn<QVariantList>("values");
    const QString otherPath = itemPath + u"/2"_s;
    const auto row = [&](const char *name, const QString &path, const QString &interface,
                         const QString &member, const QVariantList &values) {
        QTest::newRow(name) << path << interface << member << values;
    };
    row("other path", otherPath, eventsInterface, u"OnDownloadComplete"_s, {1});
    row("parent path", collectionPath, eventsInterface, u"OnDownloadBegin"_s, {});
    row("other interface", itemPath, itemInterface, u"OnDownloadComplete"_s, {1});
    row("Begin with an argument", itemPath, eventsInterface, u"OnDownloadBegin"_s, {1});
    row("Progress short", itemPath, eventsInterface, u"OnProgressChanged"_s, {1, 2, u"a"_s});
    row("Progress long", itemPath, eventsInterface, u"OnProgressChanged"_s,
        {1, 2, u"a"_s, u"b"_s, 3});
    row("Progress int16", itemPath, eventsInterface, u"OnProgressChanged"_s,
        {int16Value(1), int16Value(2), u"a"_s, u"b"_s});
    row("Complete without code", itemPath, eventsInterface, u"OnDownloadComplete"_s, {});
    row("Complete with text", itemPath, eventsInterface, u"OnDownloadComplete"_s, {u"0"_s});
    row("Complete unsigned", itemPath, eventsInterface, u"OnDownloadComplete"_s, {1u});
    row("Complete two codes", itemPath, eventsInterface, u"OnDownloadComplete"_s, {1, 2});
}

void tst_Dbus::eventsWithAnotherShapeAreIgnored()
{
    QFETCH(QString, path);
    QFETCH(QString, interface);
    QFETCH(QString, member);
    QFETCH(QVariantList, values);
    const auto item = freshItem();
    QVERIFY(item);
    QSignalSpy begin(item.get(), &UpdateItem::OnDownloadBegin);
    QSignalSpy progress(item.get(), &UpdateItem::OnProgressChanged);
    QSignalSpy complete(item.get(), &UpdateItem::OnDownloadComplete);

    CONTROL(m_control->emitSignal(path, interface, member, values));
    QVERIFY(deliverMarker(complete, 99));
    QCOMPARE(complete.count(), 1);
    QCOMPARE(begin.count(), 0);
    QCOMPARE(progress.count(), 0);
}

void tst_Dbus::eventsFromAnotherConnectionAreIgnored()
{
    const auto item = freshItem();
    QVERIFY(item);
    QSignalSpy complete(item.get(), &UpdateItem::OnDownloadComplete);
    {
        QDBusConnection intruder = QDBusConnection::connectToBus(m_busDaemon->address(), u"intruder"_s);
        QDBusMessage signal = QDBusMessage::createSignal(itemPath, eventsInterface, u"OnDownloadComplete"_s);
        signal.setArguments({7});
        QVERIFY(intruder.send(signal));
        // A round trip through the bus: the signal above has been routed.
        QVERIFY(intruder.interface()->isServiceRegistered(serviceName).isValid());
    }
    QDBusConnection::disconnectFromBus(u"intruder"_s);

    QVERIFY(deliverMarker(complete, 99));
    QCOMPARE(complete.count(), 1);
}

void tst_Dbus::eventsStopWithTheItemObject()
{
    m_service = DbusUpdateService::create(m_bus);
    const auto collection = fetchCollection(*m_service);
    QVERIFY(collection);
    auto old = fetchItem(*collection, itemPath);
    const auto current = fetchItem(*collection, itemPath);
    QVERIFY(old && current);
    int oldDeliveries = 0;
    QObject counter;
    connect(old.get(), &UpdateItem::OnDownloadComplete, &counter, [&] { ++oldDeliveries; });
    QSignalSpy complete(current.get(), &UpdateItem::OnDownloadComplete);
    CONTROL(m_control->setReply(itemPath, u"GetName"_s, {u"x"_s}));
    CONTROL(m_control->emitOn(itemPath, u"GetName"_s, itemPath, u"OnDownloadComplete"_s, {3}));

    // The signal arrives before the reply, so it is waiting for both objects
    // when the old one goes.
    old->GetName(0);
    old.reset();
    QTRY_COMPARE_WITH_TIMEOUT(complete.count(), 1, 5000);
    QVERIFY(deliverMarker(complete, 99));
    QCOMPARE(complete.count(), 2);
    QCOMPARE(oldDeliveries, 0);
}

void tst_Dbus::blockingCallsDeliverNothingMeanwhile()
{
    const auto item = freshItem();
    QVERIFY(item);
    QSignalSpy begin(item.get(), &UpdateItem::OnDownloadBegin);
    CONTROL(m_control->setReply(itemPath, u"PrepareDownload"_s, {int16Value(Contract::True)}));
    CONTROL(m_control->emitOn(itemPath, u"PrepareDownload"_s, itemPath, u"OnDownloadBegin"_s, {}));
    bool timerFired = false;
    QTimer::singleShot(0, this, [&] { timerFired = true; });

    QCOMPARE(item->PrepareDownload(Contract::True), Contract::True);
    QCOMPARE(begin.count(), 0);
    QVERIFY(!timerFired);
    QTRY_COMPARE_WITH_TIMEOUT(begin.count(), 1, 5000);
    QVERIFY(timerFired);
}

void tst_Dbus::restartedServiceDoesNotReachOldObjects()
{
    const auto old = freshItem();
    QVERIFY(old);
    const auto oldService = std::move(m_service);
    QSignalSpy oldComplete(old.get(), &UpdateItem::OnDownloadComplete);
    CONTROL(m_control->quit());
    QTRY_VERIFY_WITH_TIMEOUT(!isRegistered(), 5000);

    // The same name, the same paths, a new owner.
    const auto current = freshItem();
    QVERIFY(current);
    QSignalSpy complete(current.get(), &UpdateItem::OnDownloadComplete);
    CONTROL(m_control->setReply(servicePath, u"IsConnected"_s, {int16Value(Contract::True)}));
    CONTROL(m_control->setReply(itemPath, u"GetName"_s, {u"x"_s}));
    CONTROL(m_control->emitSignal(itemPath, eventsInterface, u"OnDownloadComplete"_s, {1}));
    QTRY_COMPARE_WITH_TIMEOUT(complete.count(), 1, 5000);
    QVERIFY(deliverMarker(complete, 99));
    QCOMPARE(oldComplete.count(), 0);

    for (const auto &call : std::initializer_list<std::function<void()>>{
             [&] { old->GetName(0); }, [&] { oldService->IsConnected(productCode); }}) {
        const auto error = failureOf(call);
        QVERIFY(error);
        QCOMPARE(error->number(), RuntimeError::OperationFailed);
        QVERIFY2(error->description().startsWith(u"org.freedesktop.DBus.Error.ServiceUnknown: "_s),
                 qPrintable(error->description()));
    }
    QCOMPARE(current->GetName(0), u"x"_s);
    QCOMPARE(m_service->IsConnected(productCode), Contract::True);
}

QTEST_GUILESS_MAIN(tst_Dbus)
#include "tst_dbus.moc"
