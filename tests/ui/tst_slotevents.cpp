// SPDX-License-Identifier: GPL-3.0-or-later
#include "FormFixture.h"
#include "service/Contract.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;
using Answer = MessagePrompt::Answer;
using Buttons = MessagePrompt::Buttons;

namespace {

constexpr int Success = int(Contract::DownloadResult::Success);

QString status(int percent, qint64 kb, const QString &rate, const QString &time)
{
    return u"Percent complete: "_s + QString::number(percent) + u"%\r\nBytes downloaded: "_s
           + QString::number(kb) + u" kb\r\nTransfer Rate: "_s + rate + u"\r\nTime left: "_s + time;
}

} // namespace

class TestSlotEvents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void progressText();
    void kilobytes_data();
    void kilobytes();
    void progressShownAsReceived_data();
    void progressShownAsReceived();
    void nameLabelFilledOnce();
    void eachSlotTouchesOnlyItsOwnLabels();
    void beginPrompt();
    void completeAndInstall_data();
    void completeAndInstall();
    void failedDownloadShowsItsOwnText();
    void cancel();
    void cancelOnEmptySlotDoesNothing();
    void failingHandlerEndsTheProgram();
    void nothingRunsWhileTheErrorIsShown();
    void eventsDuringOffersWaitTheirTurn();
    void progressDuringPromptIsShownAtOnce();
    void heldEventOfReplacedUpdateIsDropped();
};

void TestSlotEvents::progressText()
{
    FormFixture w(1);
    w.loadAndShow();
    Q_EMIT w.backend.item(1).OnProgressChanged(52224, 17, u"r"_s, u"t"_s);
    QCOMPARE(w.form->lblStatus1->text(),
             u"Percent complete: 17%\r\nBytes downloaded: 51 kb\r\nTransfer Rate: r\r\nTime left: t"_s);
    QCOMPARE(w.form->lbl1->text(), u"Update name: Update 1\r\n"_s);
    QVERIFY(w.prompt.shown.isEmpty());
}

void TestSlotEvents::kilobytes_data()
{
    QTest::addColumn<int>("bytes");
    QTest::addColumn<qint64>("kb");
    QTest::newRow("511") << 511 << qint64(0);
    QTest::newRow("512") << 512 << qint64(0);
    QTest::newRow("513") << 513 << qint64(1);
    QTest::newRow("1536") << 1536 << qint64(2);
    QTest::newRow("2560") << 2560 << qint64(2);
    QTest::newRow("3584") << 3584 << qint64(4);
    QTest::newRow("-512") << -512 << qint64(0);
    QTest::newRow("-513") << -513 << qint64(-1);
    QTest::newRow("-1536") << -1536 << qint64(-2);
    QTest::newRow("-2560") << -2560 << qint64(-2);
    QTest::newRow("-3584") << -3584 << qint64(-4);
    QTest::newRow("int max") << std::numeric_limits<int>::max() << qint64(2097152);
    QTest::newRow("int min") << std::numeric_limits<int>::min() << qint64(-2097152);
}

void TestSlotEvents::kilobytes()
{
    QFETCH(int, bytes);
    QFETCH(qint64, kb);
    FormFixture w(1);
    w.loadAndShow();
    Q_EMIT w.backend.item(1).OnProgressChanged(bytes, 1, u"r"_s, u"t"_s);
    QCOMPARE(w.form->lblStatus1->text(), status(1, kb, u"r"_s, u"t"_s));
}

void TestSlotEvents::progressShownAsReceived_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("time");
    QTest::newRow("zero") << 0 << u"1 kB/s"_s << u"0:01"_s;
    QTest::newRow("hundred") << 100 << u"r"_s << u"t"_s;
    QTest::newRow("above") << 250 << u"r"_s << u"t"_s;
    QTest::newRow("negative") << -7 << u"r"_s << u"t"_s;
    QTest::newRow("empty texts") << 5 << QString() << QString();
    QTest::newRow("markup kept as text") << 5 << u"<b>fast</b>"_s << u"&amp;"_s;
}

void TestSlotEvents::progressShownAsReceived()
{
    QFETCH(int, percent);
    QFETCH(QString, rate);
    QFETCH(QString, time);
    FormFixture w(1);
    w.loadAndShow();
    Q_EMIT w.backend.item(1).OnProgressChanged(2048, percent, rate, time);
    QCOMPARE(w.form->lblStatus1->text(), status(percent, 2, rate, time));
}

void TestSlotEvents::nameLabelFilledOnce()
{
    FormFixture w(1);
    w.loadAndShow();
    Q_EMIT w.backend.item(1).OnProgressChanged(0, 0, u"r"_s, u"t"_s);
    w.backend.item(1).name = u"Renamed"_s;
    Q_EMIT w.backend.item(1).OnProgressChanged(1024, 50, u"r"_s, u"t"_s);
    QCOMPARE(w.form->lbl1->text(), u"Update name: Update 1\r\n"_s);
    QCOMPARE(w.form->lblStatus1->text(), status(50, 1, u"r"_s, u"t"_s));
    QCOMPARE(*w.backend.log, QStringList{u"1.GetName(0)"_s});
}

void TestSlotEvents::eachSlotTouchesOnlyItsOwnLabels()
{
    FormFixture w(3);
    w.loadAndShow();
    Q_EMIT w.backend.item(2).OnProgressChanged(1024, 2, u"r"_s, u"t"_s);
    QCOMPARE(w.form->lbl2->text(), u"Update name: Update 2\r\n"_s);
    QCOMPARE(w.form->lblStatus2->text(), status(2, 1, u"r"_s, u"t"_s));
    QCOMPARE(w.form->lbl1->text(), QString());
    QCOMPARE(w.form->lbl3->text(), QString());
    QCOMPARE(w.form->lblStatus1->text(), u"First Update Status"_s);
    QCOMPARE(w.form->lblStatus3->text(), u"Third Update Status"_s);
}

void TestSlotEvents::beginPrompt()
{
    FormFixture w(3);
    w.loadAndShow();
    Q_EMIT w.backend.item(3).OnDownloadBegin();
    QCOMPARE(w.prompt.shown.size(), 1);
    QCOMPARE(w.prompt.shown[0].text, u"OnDownloadBegin for: Update 3"_s);
    QCOMPARE(w.prompt.shown[0].buttons, Buttons::Ok);
    QCOMPARE(w.prompt.shown[0].title, u"Kelvarra"_s);
    QCOMPARE(*w.backend.log, QStringList{u"3.GetName(0)"_s});
}

void TestSlotEvents::completeAndInstall_data()
{
    QTest::addColumn<bool>("install");
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
}

void TestSlotEvents::completeAndInstall()
{
    QFETCH(bool, install);
    FormFixture w(2);
    w.loadAndShow();
    Q_EMIT w.backend.item(2).OnProgressChanged(4096, 100, u"r"_s, u"0:00"_s);
    w.backend.log->clear();
    w.prompt.answer(install ? Answer::Yes : Answer::No);
    Q_EMIT w.backend.item(2).OnDownloadComplete(Success);

    QCOMPARE(w.prompt.shown.size(), 1);
    QCOMPARE(w.prompt.shown[0].text, u"An Update [Update 2] has been downloaded, do you want to install?"_s);
    QCOMPARE(w.prompt.shown[0].buttons, Buttons::YesNo);
    QCOMPARE(w.prompt.shown[0].title, u"Update Available"_s);
    QStringList expected{u"2.GetName(0)"_s};
    if (install)
        expected.append(u"2.Execute()"_s);
    QCOMPARE(*w.backend.log, expected);
    QCOMPARE(w.form->lblStatus2->text(), status(100, 4, u"r"_s, u"0:00"_s));
}

void TestSlotEvents::failedDownloadShowsItsOwnText()
{
    FormFixture w(1);
    w.loadAndShow();
    w.backend.item(1).text = u"The download failed: <i>host</i> not found"_s;
    Q_EMIT w.backend.item(1).OnDownloadComplete(7);
    QCOMPARE(w.prompt.shown.size(), 1);
    QCOMPARE(w.prompt.shown[0].text, u"The download failed: <i>host</i> not found"_s);
    QCOMPARE(w.prompt.shown[0].buttons, Buttons::Ok);
    QCOMPARE(w.prompt.shown[0].title, u"Kelvarra"_s);
    QCOMPARE(*w.backend.log, QStringList{u"1.GetText(1)"_s});
}

void TestSlotEvents::cancel()
{
    FormFixture w(2);
    w.prompt.answer(Answer::No);
    w.prompt.answer(Answer::Yes);
    w.loadAndShow();
    // Slot 1's update was declined; cancel still goes to it.
    w.form->btnCancel1->click();
    w.form->btnCancel2->click();
    QCOMPARE(*w.backend.log, (QStringList{u"1.Cancel()"_s, u"2.Cancel()"_s}));
    QVERIFY(w.prompt.shown.isEmpty());
    QCOMPARE(w.form->lblStatus1->text(), u"First Update Status"_s);
}

void TestSlotEvents::cancelOnEmptySlotDoesNothing()
{
    FormFixture w(1);
    w.loadAndShow();
    w.form->btnCancel2->click();
    w.form->btnCancel3->click();
    QVERIFY(w.backend.log->isEmpty());
    QVERIFY(w.prompt.shown.isEmpty());
    QCOMPARE(w.exitStatus, -1);
}

void TestSlotEvents::failingHandlerEndsTheProgram()
{
    FormFixture w(1);
    w.loadAndShow();
    w.backend.item(1).failing = u"GetName"_s;
    Q_EMIT w.backend.item(1).OnProgressChanged(1, 1, u"r"_s, u"t"_s);
    QCOMPARE(w.exitStatus, 1);
    QCOMPARE(w.prompt.shown.size(), 1);
    QCOMPARE(w.prompt.shown[0].text,
             u"Run-time error 3:\r\ncom.palvane.UpdateService.Error.Test: GetName failed"_s);
    QCOMPARE(w.form->lblStatus1->text(), u"First Update Status"_s);
}

void TestSlotEvents::nothingRunsWhileTheErrorIsShown()
{
    FormFixture w(2);
    w.backend.item(2).failing = u"GetName"_s;
    FakeUpdateItem &first = w.backend.item(1);
    w.prompt.answer(Answer::Yes);
    // The error about update 2 is open while update 1 ends and a click comes.
    w.prompt.answer(Answer::Ok, [&] {
        Q_EMIT first.OnDownloadBegin();
        Q_EMIT first.OnProgressChanged(1024, 100, u"r"_s, u"t"_s);
        Q_EMIT first.OnDownloadComplete(Success);
        w.form->btnCancel1->click();
    });
    w.load();
    QCoreApplication::processEvents();

    QCOMPARE(w.exitStatus, 1);
    QCOMPARE(w.prompt.shown.size(), 2);
    QVERIFY(w.prompt.shown[1].text.startsWith(u"Run-time error 3:"_s));
    QCOMPARE(w.prompt.mostOpenAtOnce, 1);
    QCOMPARE(w.callsOf(1), (QStringList{u"GetName(0)"_s, u"PrepareDownload(-1)"_s, u"Execute()"_s}));
    QCOMPARE(w.form->lblStatus1->text(), u"First Update Status"_s);
}

void TestSlotEvents::eventsDuringOffersWaitTheirTurn()
{
    FormFixture w(2);
    FakeUpdateItem &first = w.backend.item(1);
    w.prompt.answer(Answer::Yes);
    // While the second offer is open, the first update begins and completes.
    w.prompt.answer(Answer::No, [&] {
        Q_EMIT first.OnDownloadBegin();
        Q_EMIT first.OnDownloadComplete(Success);
    });
    w.prompt.answer(Answer::Ok);
    w.prompt.answer(Answer::Yes);
    w.load();
    QCOMPARE(w.prompt.shown.size(), 2);
    w.form->show();

    QTRY_COMPARE_WITH_TIMEOUT(w.prompt.shown.size(), 4, 2000);
    QCOMPARE(w.prompt.shown[2].text, u"OnDownloadBegin for: Update 1"_s);
    QCOMPARE(w.prompt.shown[3].title, u"Update Available"_s);
    QCOMPARE(w.prompt.mostOpenAtOnce, 1);
    QCOMPARE(w.backend.log->count(u"1.Execute()"_s), 2);
}

void TestSlotEvents::progressDuringPromptIsShownAtOnce()
{
    FormFixture w(1);
    w.loadAndShow();
    FakeUpdateItem &item = w.backend.item(1);
    QString seenWhileOpen;
    w.prompt.answer(Answer::Ok, [&] {
        Q_EMIT item.OnDownloadComplete(Success); // waits
        Q_EMIT item.OnProgressChanged(3584, 99, u"r"_s, u"t"_s);
        seenWhileOpen = w.form->lblStatus1->text();
    });
    w.prompt.answer(Answer::No);
    Q_EMIT item.OnDownloadBegin();

    QCOMPARE(seenWhileOpen, status(99, 4, u"r"_s, u"t"_s));
    QCOMPARE(w.prompt.shown.size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(w.prompt.shown.size(), 2, 2000);
    QCOMPARE(w.prompt.shown[1].title, u"Update Available"_s);
    QCOMPARE(w.prompt.mostOpenAtOnce, 1);
}

void TestSlotEvents::heldEventOfReplacedUpdateIsDropped()
{
    FormFixture w(4);
    FakeUpdateItem &third = w.backend.item(3);
    w.prompt.answer(Answer::No);
    w.prompt.answer(Answer::No);
    // Update 3 begins while its own offer is open; update 4 then takes slot 3.
    w.prompt.answer(Answer::Yes, [&] { Q_EMIT third.OnDownloadBegin(); });
    w.prompt.answer(Answer::No);
    w.load();
    w.form->show();
    QTest::qWait(50);
    QCoreApplication::processEvents();

    QCOMPARE(w.prompt.shown.size(), 4);
    QCOMPARE(w.backend.log->count(u"3.GetName(0)"_s), 1);
}

QTEST_MAIN(TestSlotEvents)
#include "tst_slotevents.moc"
