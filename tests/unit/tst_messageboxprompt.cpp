// SPDX-License-Identifier: GPL-3.0-or-later
#include "MessageBoxPrompt.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace Qt::StringLiterals;
using Answer = MessagePrompt::Answer;
using Buttons = MessagePrompt::Buttons;

namespace {

// Shows a prompt and, once it is up, lets `act` close it.
Answer showAndAct(Buttons buttons, const std::function<void(QMessageBox *)> &act,
                  const QString &text = u"text"_s)
{
    QTimer::singleShot(0, [act] {
        QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
        act(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
    });
    // A failed step above leaves the box open; this lets the test end.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        QWARN("the prompt was still open after 10 s");
        if (QWidget *box = QApplication::activeModalWidget())
            box->close();
    });
    guard.start(10'000);
    MessageBoxPrompt prompt;
    return prompt.show(text, buttons, u"Kelvarra"_s);
}

} // namespace

class TestMessageBoxPrompt : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void yesNoAnswers_data();
    void yesNoAnswers();
    void looksAsItShould();
    void okPromptClosesWithEscape();
};

void TestMessageBoxPrompt::yesNoAnswers_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("close");
    QTest::addColumn<Answer>("answer");
    QTest::newRow("Enter takes the default") << int(Qt::Key_Return) << false << Answer::Yes;
    QTest::newRow("Escape is No") << int(Qt::Key_Escape) << false << Answer::No;
    QTest::newRow("closing is No") << 0 << true << Answer::No;
}

void TestMessageBoxPrompt::yesNoAnswers()
{
    QFETCH(int, key);
    QFETCH(bool, close);
    QFETCH(Answer, answer);
    const Answer got = showAndAct(Buttons::YesNo, [&](QMessageBox *box) {
        if (close)
            box->close();
        else
            QTest::keyClick(box, Qt::Key(key));
    });
    QCOMPARE(got, answer);
}

void TestMessageBoxPrompt::looksAsItShould()
{
    QString title;
    QStringList buttons;
    bool yesIsDefault = false;
    QMessageBox::Icon icon = QMessageBox::Warning;
    Qt::TextFormat format = Qt::RichText;
    const QString markup = u"Update available: <b>x</b>\r\nStart Download?"_s;
    showAndAct(Buttons::YesNo, [&](QMessageBox *box) {
        title = box->windowTitle();
        icon = box->icon();
        format = box->textFormat();
        for (QAbstractButton *button : box->buttons())
            buttons.append(box->standardButton(button) == QMessageBox::Yes ? u"Yes"_s : u"No"_s);
        yesIsDefault = box->defaultButton() == box->button(QMessageBox::Yes);
        box->button(QMessageBox::No)->click();
    }, markup);
    QCOMPARE(title, u"Kelvarra"_s);
    QCOMPARE(icon, QMessageBox::NoIcon);
    QCOMPARE(format, Qt::PlainText);
    QCOMPARE(buttons.size(), 2);
    QVERIFY(yesIsDefault);
}

void TestMessageBoxPrompt::okPromptClosesWithEscape()
{
    int buttonCount = 0;
    const Answer got = showAndAct(Buttons::Ok, [&](QMessageBox *box) {
        buttonCount = int(box->buttons().size());
        QTest::keyClick(box, Qt::Key_Escape);
    });
    QCOMPARE(got, Answer::Ok);
    QCOMPARE(buttonCount, 1);
}

QTEST_MAIN(TestMessageBoxPrompt)
#include "tst_messageboxprompt.moc"
