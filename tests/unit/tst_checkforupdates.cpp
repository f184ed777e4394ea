// SPDX-License-Identifier: GPL-3.0-or-later
#include "FormFixture.h"
#include "service/Contract.h"

#include <QLabel>
#include <QTest>

using namespace Qt::StringLiterals;
using Answer = MessagePrompt::Answer;

namespace {

const QString &Code = FormFixture::Code;

QString offer(const QString &name)
{
    return u"Update available: "_s + name + u"\r\nStart Download?"_s;
}

} // namespace

class TestCheckForUpdates : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneAcceptedUpdate();
    void notConnected_data();
    void notConnected();
    void noUpdates();
    void fiveUpdatesMixedAnswers();
    void prepareDownloadMustBeExactlyTrue_data();
    void prepareDownloadMustBeExactlyTrue();
    void serviceFailureEndsTheProgram();
    void replacedUpdateNoLongerReachesItsSlot();
    void hugeNameKeepsTheQuestion();
};

void TestCheckForUpdates::oneAcceptedUpdate()
{
    FormFixture run(1);
    run.load(u"other -pc"_s + Code + u" trailing"_s);

    QCOMPARE(*run.backend.log,
             (QStringList{u"IsConnected("_s + Code + u')', u"GetUpdates("_s + Code + u')',
                          u"Count()"_s, u"Count()"_s, u"Item(1)"_s, u"1.GetName(0)"_s,
                          u"1.PrepareDownload(-1)"_s, u"1.Execute()"_s}));
    QCOMPARE(run.prompt.shown.size(), 1);
    QCOMPARE(run.prompt.shown[0].text, offer(u"Update 1"_s));
    QCOMPARE(run.prompt.shown[0].buttons, MessagePrompt::Buttons::YesNo);
    QCOMPARE(run.prompt.shown[0].title, u"Kelvarra"_s);
    QCOMPARE(run.form->UpdateInstance1.get(), &run.backend.item(1));
    QVERIFY(!run.form->UpdateInstance2);
    QVERIFY(!run.form->UpdateInstance3);
    QVERIFY(!run.form->bExit);
    QCOMPARE(run.backend.created, 1);
}

void TestCheckForUpdates::notConnected_data()
{
    QTest::addColumn<int>("reply");
    QTest::addColumn<bool>("connected");
    QTest::newRow("false") << int(Contract::False) << false;
    QTest::newRow("true") << int(Contract::True) << true;
    QTest::newRow("any non-zero") << 1 << true;
    QTest::newRow("positive max") << 32767 << true;
}

void TestCheckForUpdates::notConnected()
{
    QFETCH(int, reply);
    QFETCH(bool, connected);
    FormFixture run(1);
    run.backend.connectedReply = qint16(reply);
    run.prompt.answer(Answer::No);
    run.load();

    QVERIFY(!run.form->bExit);
    if (connected) {
        QCOMPARE(run.prompt.shown.first().text, offer(u"Update 1"_s));
        return;
    }
    QCOMPARE(*run.backend.log, QStringList{u"IsConnected("_s + Code + u')'});
    QCOMPARE(run.prompt.shown.size(), 1);
    QCOMPARE(run.prompt.shown[0].text, u"IsConnected returned False"_s);
    QCOMPARE(run.prompt.shown[0].buttons, MessagePrompt::Buttons::Ok);
    QCOMPARE(run.prompt.shown[0].title, u"Kelvarra"_s);
}

void TestCheckForUpdates::noUpdates()
{
    FormFixture run(0);
    run.load();
    QCOMPARE(run.prompt.shown.size(), 1);
    QCOMPARE(run.prompt.shown[0].text, u"No updates available for this product."_s);
    QCOMPARE(run.prompt.shown[0].buttons, MessagePrompt::Buttons::Ok);
    QVERIFY(!run.backend.log->contains(u"Item(1)"_s));
    QVERIFY(!run.form->bExit);
    QVERIFY(run.form->UpdateList);
}

void TestCheckForUpdates::fiveUpdatesMixedAnswers()
{
    FormFixture run(5);
    for (Answer a : {Answer::Yes, Answer::No, Answer::Yes, Answer::No, Answer::Yes})
        run.prompt.answer(a);
    run.backend.item(3).prepareReply = Contract::False;
    run.load();

    QCOMPARE(run.prompt.shown.size(), 5);
    for (int i = 1; i <= 5; ++i)
        QCOMPARE(run.prompt.shown[i - 1].text, offer(u"Update "_s + QString::number(i)));
    QCOMPARE(run.callsOf(1), (QStringList{u"GetName(0)"_s, u"PrepareDownload(-1)"_s, u"Execute()"_s}));
    QCOMPARE(run.callsOf(2), QStringList{u"GetName(0)"_s});
    QCOMPARE(run.callsOf(3), (QStringList{u"GetName(0)"_s, u"PrepareDownload(-1)"_s}));
    QCOMPARE(run.callsOf(4), QStringList{u"GetName(0)"_s});
    QCOMPARE(run.callsOf(5), (QStringList{u"GetName(0)"_s, u"PrepareDownload(-1)"_s, u"Execute()"_s}));
    // The count bounds the loop and is read twice only.
    QCOMPARE(run.backend.log->count(u"Count()"_s), 2);
    QCOMPARE(run.form->UpdateInstance1.get(), &run.backend.item(1));
    QCOMPARE(run.form->UpdateInstance2.get(), &run.backend.item(2));
    QCOMPARE(run.form->UpdateInstance3.get(), &run.backend.item(5));
    // Items the slots let go are no longer held by the window.
    QCOMPARE(run.backend.collection->items[2].use_count(), 1);
    QCOMPARE(run.backend.collection->items[3].use_count(), 1);
}

void TestCheckForUpdates::prepareDownloadMustBeExactlyTrue_data()
{
    QTest::addColumn<int>("reply");
    QTest::addColumn<bool>("executed");
    QTest::newRow("-1") << int(Contract::True) << true;
    QTest::newRow("0") << int(Contract::False) << false;
    QTest::newRow("1") << 1 << false;
    QTest::newRow("-2") << -2 << false;
}

void TestCheckForUpdates::prepareDownloadMustBeExactlyTrue()
{
    QFETCH(int, reply);
    QFETCH(bool, executed);
    FormFixture run(1);
    run.backend.item(1).prepareReply = qint16(reply);
    run.load();
    QCOMPARE(run.callsOf(1).contains(u"Execute()"_s), executed);
    QCOMPARE(run.prompt.shown.size(), 1);
}

void TestCheckForUpdates::serviceFailureEndsTheProgram()
{
    FormFixture run(2);
    run.backend.item(1).failing = u"PrepareDownload"_s;
    run.load();

    QCOMPARE(run.exitStatus, 1);
    QCOMPARE(run.prompt.shown.size(), 2);
    QCOMPARE(run.prompt.shown[1].text,
             u"Run-time error 3:\r\ncom.palvane.UpdateService.Error.Test: PrepareDownload failed"_s);
    QCOMPARE(run.prompt.shown[1].title, u"Kelvarra"_s);
    QVERIFY(!run.backend.log->contains(u"Item(2)"_s));
}

void TestCheckForUpdates::replacedUpdateNoLongerReachesItsSlot()
{
    FormFixture run(4);
    run.load();
    QVERIFY(run.form->isVisible() == false);
    run.form->show();

    // Update 3 left slot 3 to update 4: its reports must not reach the slot.
    Q_EMIT run.backend.item(3).OnProgressChanged(1024, 10, u"r"_s, u"t"_s);
    QCOMPARE(run.form->lblStatus3->text(), u"Third Update Status"_s);
    Q_EMIT run.backend.item(4).OnProgressChanged(1024, 10, u"r"_s, u"t"_s);
    QCOMPARE(run.form->lbl3->text(), u"Update name: Update 4\r\n"_s);
    Q_EMIT run.backend.item(1).OnProgressChanged(2048, 20, u"r"_s, u"t"_s);
    QCOMPARE(run.form->lbl1->text(), u"Update name: Update 1\r\n"_s);
    QVERIFY(run.form->lblStatus1->text().startsWith(u"Percent complete: 20%"_s));
}

void TestCheckForUpdates::hugeNameKeepsTheQuestion()
{
    FormFixture run(1);
    run.backend.item(1).name = QString(1024 * 1024, u'n');
    run.load();
    const QString text = run.prompt.shown.at(0).text;
    QVERIFY(text.startsWith(u"Update available: nnn"_s));
    QVERIFY(text.endsWith(u"n\u2026\r\nStart Download?"_s));
    QVERIFY(text.size() < 5000);
}

QTEST_MAIN(TestCheckForUpdates)
#include "tst_checkforupdates.moc"
