// SPDX-License-Identifier: GPL-3.0-or-later
#include "DbusIntrospection.h"
#include "RuntimeError.h"
#include "service/Contract.h"

#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_DbusIntrospection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listsTheObjectsOwnInterfaces_data();
    void listsTheObjectsOwnInterfaces();
    void rejectsWhatIsNotIntrospectionData_data();
    void rejectsWhatIsNotIntrospectionData();
    void contractNamesTheInterfacesOfTheXml_data();
    void contractNamesTheInterfacesOfTheXml();
};

void tst_DbusIntrospection::listsTheObjectsOwnInterfaces_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QStringList>("interfaces");
    QTest::newRow("empty node") << u"<node/>"_s << QStringList{};
    QTest::newRow("with doctype and comments")
        << u"<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
           "<!-- <interface name=\"a.Hidden\"/> -->\n"
           "<node name=\"/x\"><interface name=\"a.B\"><method name=\"M\"><arg type=\"s\" direction=\"in\"/>"
           "<annotation name=\"k\" value=\"v\"/></method><signal name=\"S\"/></interface>"
           "<interface name=\"a.C\"><property name=\"P\" type=\"i\" access=\"read\"/></interface></node>"_s
        << QStringList{u"a.B"_s, u"a.C"_s};
    QTest::newRow("child nodes are other objects")
        << u"<node><node name=\"child\"><interface name=\"a.Child\"/></node>"
           "<interface name=\"a.Own\"/><node name=\"empty\"/></node>"_s
        << QStringList{u"a.Own"_s};
    QTest::newRow("interface named in a method only")
        << u"<node><interface name=\"a.B\"><method name=\"a.C\"/></interface></node>"_s
        << QStringList{u"a.B"_s};
}

void tst_DbusIntrospection::listsTheObjectsOwnInterfaces()
{
    QFETCH(QString, xml);
    QFETCH(QStringList, interfaces);
    QCOMPARE(DbusIntrospection::interfaces(xml, u"/x"_s), interfaces);
}

void tst_DbusIntrospection::rejectsWhatIsNotIntrospectionData_data()
{
    QTest::addColumn<QString>("xml");
    QTest::newRow("empty") << QString();
    QTest::newRow("plain text") << u"a.B"_s;
    QTest::newRow("unclosed") << u"<node><interface name=\"a.B\">"_s;
    QTest::newRow("other root") << u"<object><interface name=\"a.B\"/></object>"_s;
    QTest::newRow("garbage after root") << u"<node><interface name=\"a.B\"/></node><node/>"_s;
}

void tst_DbusIntrospection::rejectsWhatIsNotIntrospectionData()
{
    QFETCH(QString, xml);
    try {
        DbusIntrospection::interfaces(xml, u"/obj/7"_s);
        QFAIL("accepted");
    } catch (const RuntimeError &error) {
        QCOMPARE(error.number(), RuntimeError::UnexpectedReply);
        QVERIFY(error.description().contains(u"/obj/7"_s));
    }
}

// The proxies are built from the XML files, everything else uses the names in
// Contract.h: the two must not drift apart.
void tst_DbusIntrospection::contractNamesTheInterfacesOfTheXml_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("interfaces");
    QTest::newRow("service object") << QStringLiteral(DBUS_XML_SERVICE)
        << QStringList{QString::fromUtf16(Contract::AgentInterface),
                       QString::fromUtf16(Contract::ServiceInterface)};
    QTest::newRow("collection") << QStringLiteral(DBUS_XML_COLLECTION)
        << QStringList{QString::fromUtf16(Contract::CollectionInterface)};
    QTest::newRow("item") << QStringLiteral(DBUS_XML_ITEM)
        << QStringList{QString::fromUtf16(Contract::ItemInterface),
                       QString::fromUtf16(Contract::ItemEventsInterface)};
    QTest::newRow("status") << QStringLiteral(DBUS_XML_STATUS)
        << QStringList{QString::fromUtf16(Contract::StatusInterface)};
}

void tst_DbusIntrospection::contractNamesTheInterfacesOfTheXml()
{
    QFETCH(QString, file);
    QFETCH(QStringList, interfaces);
    QFile xml(file);
    QVERIFY2(xml.open(QIODevice::ReadOnly), qPrintable(xml.errorString()));
    QCOMPARE(DbusIntrospection::interfaces(QString::fromUtf8(xml.readAll()), file), interfaces);
}

QTEST_GUILESS_MAIN(tst_DbusIntrospection)
#include "tst_dbusintrospection.moc"
