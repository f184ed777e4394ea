// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeUpdateService.h"
#include "Form1.h"
#include "ProductCode.h"
#include "ScriptedPrompt.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Code = u"{12345678-90ab-cdef-1234-567890abcdef}"_s;
const QString CodeError = u"Error in specifying product code in cmdline.\r\n"
                          u"Must pass -pc<prod code> to exe. Exiting..."_s;

} // namespace

class TestProductCode : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void load_data();
    void load();
    void badCodeStopsBeforeTheService();
};

void TestProductCode::load_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("kept");

    QTest::newRow("code") << u"-pc"_s + Code << true << Code;
    QTest::newRow("any 36 inside") << u"-pc{ lower case, spaces & not hex: zz!!!}"_s << true
                                   << u"{ lower case, spaces & not hex: zz!!!}"_s;
    QTest::newRow("space before code") << u"-pc "_s + Code << false << u" "_s + Code.left(37);
    QTest::newRow("upper P") << u"-Pc"_s + Code << false << QString();
    QTest::newRow("upper C") << u"-pC"_s + Code << false << QString();
    QTest::newRow("nothing") << QString() << false << QString();
    QTest::newRow("no -pc") << u"--product "_s + Code << false << QString();
    QTest::newRow("-pc at the end") << u"foo -pc"_s << false << QString();
    QTest::newRow("args around") << u"foo -pc"_s + Code + u" bar"_s << true << Code;
    QTest::newRow("text glued after") << u"-pc"_s + Code + u"}}xyz"_s << true << Code;
    QTest::newRow("37 chars") << u"-pc"_s + Code.left(36) + u'}' << false << Code.left(36) + u'}';
    QTest::newRow("early brace") << u"-pc{1234}678-90ab-cdef-1234-567890abcdef}"_s << false
                                 << u"{1234}678-90ab-cdef-1234-567890abcdef}"_s;
    QTest::newRow("no opening brace") << u"-pc"_s + u'x' + Code.mid(1) << false << u'x' + Code.mid(1);
    QTest::newRow("second brace inside") << u"-pc{{2345678-90ab-cdef-1234-567890abcdef}"_s << true
                                         << u"{{2345678-90ab-cdef-1234-567890abcdef}"_s;
    QTest::newRow("stray -pc first") << u"--x-pcfoo -pc"_s + Code << false
                                     << QString(u"foo -pc"_s + Code).left(38);
    QTest::newRow("non-ASCII around") << u"\u00e9t\u00e9 -pc"_s + Code + u" \u65e5\u672c"_s << true << Code;
    // A surrogate pair counts as two units, so the "}" no longer sits at 38.
    const QString pair = u"\U0001F600"_s;
    QTest::newRow("surrogate pair inside") << u"-pc{"_s + pair + Code.mid(3) << true
                                           << u"{"_s + pair + Code.mid(3);
    QTest::newRow("surrogate pair too long") << u"-pc{"_s + pair + Code.mid(2) << false
                                             << QString(u"{"_s + pair + Code.mid(2)).left(38);
}

void TestProductCode::load()
{
    QFETCH(QString, commandLine);
    QFETCH(bool, accepted);
    QFETCH(QString, kept);

    FakeBackend backend(0);
    backend.connectedReply = 0;
    ScriptedPrompt prompt;
    Form1 form(prompt, backend.factory(), commandLine);
    form.Form_Load();

    QCOMPARE(form.bExit, !accepted);
    QCOMPARE(form.strProdCode, kept);
    QCOMPARE(form.strProdCode.size(), kept.size());
    QVERIFY(!prompt.shown.isEmpty());
    const bool errorShown = prompt.shown.first().text == CodeError;
    QCOMPARE(errorShown, !accepted);
    if (!accepted) {
        QCOMPARE(prompt.shown.size(), 1);
        QCOMPARE(prompt.shown.first().buttons, MessagePrompt::Buttons::Ok);
        QCOMPARE(prompt.shown.first().title, u"Kelvarra"_s);
    }
}

void TestProductCode::badCodeStopsBeforeTheService()
{
    FakeBackend backend(1);
    ScriptedPrompt prompt;
    Form1 form(prompt, backend.factory(), u"-pc"_s);
    form.Form_Load();
    QVERIFY(form.bExit);
    QCOMPARE(backend.created, 0);
    QVERIFY(backend.log->isEmpty());
    QVERIFY(!form.UpdateAgent);
}

QTEST_MAIN(TestProductCode)
#include "tst_productcode.moc"
