// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeUpdateService.h"
#include "Form1.h"
#include "ScriptedPrompt.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTest>

using namespace Qt::StringLiterals;

class TestForm1Layout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void controls_data();
    void controls();
    void declarationOrder();
    void window();
    void focusAndTabOrder();
    void labelsShowPlainText();
    void hugeTextDoesNotFreeze();
    void textsFitTheirControls();

private:
    FakeBackend *m_backend = nullptr;
    ScriptedPrompt m_prompt;
    Form1 *m_form = nullptr;
};

void TestForm1Layout::init()
{
    m_backend = new FakeBackend(0);
    m_form = new Form1(m_prompt, m_backend->factory(), QString());
}

void TestForm1Layout::cleanup()
{
    delete m_form;
    delete m_backend;
}

void TestForm1Layout::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry");
    // Twips / 15.
    QTest::newRow("btnCancel3") << u"btnCancel3"_s << u"Cancel Third Update"_s << QRect(472, 120, 121, 33);
    QTest::newRow("btnCancel2") << u"btnCancel2"_s << u"Cancel Second Update"_s << QRect(256, 120, 121, 33);
    QTest::newRow("btnCancel1") << u"btnCancel1"_s << u"Cancel First Update"_s << QRect(40, 120, 113, 33);
    QTest::newRow("lbl3") << u"lbl3"_s << QString() << QRect(440, 16, 193, 33);
    QTest::newRow("lbl2") << u"lbl2"_s << QString() << QRect(224, 16, 193, 33);
    QTest::newRow("lbl1") << u"lbl1"_s << QString() << QRect(8, 16, 193, 33);
    QTest::newRow("lblStatus3") << u"lblStatus3"_s << u"Third Update Status"_s << QRect(440, 48, 193, 57);
    QTest::newRow("lblStatus2") << u"lblStatus2"_s << u"Second Update Status"_s << QRect(224, 48, 193, 57);
    QTest::newRow("lblStatus1") << u"lblStatus1"_s << u"First Update Status"_s << QRect(8, 48, 193, 57);
}

void TestForm1Layout::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);

    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form));
    auto *widget = m_form->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), geometry);
    QVERIFY(widget->isVisible());
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->text(), text);
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
        QVERIFY(label->wordWrap());
        QCOMPARE(label->alignment(), Qt::AlignLeft | Qt::AlignTop);
        const bool status = name.startsWith(u"lblStatus"_s);
        QCOMPARE(label->frameShape() == QFrame::Panel, status);
    } else {
        QCOMPARE(qobject_cast<QPushButton *>(widget)->text(), text);
        QVERIFY(widget->focusPolicy() & Qt::TabFocus);
    }
}

void TestForm1Layout::declarationOrder()
{
    QStringList names;
    for (QObject *child : m_form->children())
        if (child->isWidgetType())
            names.append(child->objectName());
    QCOMPARE(names, (QStringList{u"btnCancel3"_s, u"btnCancel2"_s, u"btnCancel1"_s, u"lbl3"_s, u"lbl2"_s,
                                 u"lbl1"_s, u"lblStatus3"_s, u"lblStatus2"_s, u"lblStatus1"_s}));
}

void TestForm1Layout::window()
{
    QCOMPARE(m_form->windowTitle(), u"Form1"_s);
    QCOMPARE(m_form->size(), QSize(721, 230));
    // The controls never move, so neither does the window's size.
    QCOMPARE(m_form->minimumSize(), m_form->maximumSize());
}

void TestForm1Layout::focusAndTabOrder()
{
    m_form->show();
    QApplication::setActiveWindow(m_form);
    QVERIFY(QTest::qWaitForWindowActive(m_form));
    QCOMPARE(QApplication::focusWidget(), m_form->btnCancel1);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m_form->btnCancel2);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m_form->btnCancel3);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m_form->btnCancel1);
}

void TestForm1Layout::labelsShowPlainText()
{
    for (QLabel *label : m_form->findChildren<QLabel *>())
        QCOMPARE(label->textFormat(), Qt::PlainText);
}

void TestForm1Layout::hugeTextDoesNotFreeze()
{
    m_backend->collection->items.push_back(
        std::make_shared<FakeUpdateItem>(m_backend->log, 1, QString(1024 * 1024, u'n')));
    Form1 form(m_prompt, m_backend->factory(), u"-pc{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"_s);
    form.Form_Load();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    const QString huge = QString(1024 * 1024 - 1, u'x') + u"\U0001F600"_s;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 10; ++i) {
        Q_EMIT m_backend->item(1).OnProgressChanged(i, i, huge, huge);
        form.repaint();
    }
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed()) + u" ms"_s));
    QVERIFY(form.lbl1->text().startsWith(u"Update name: nnn"_s));
    QVERIFY(form.lblStatus1->text().contains(u"Transfer Rate: xxx"_s));
    QCOMPARE(form.lblStatus1->geometry(), QRect(8, 48, 193, 57));
}

void TestForm1Layout::textsFitTheirControls()
{
    const QString status = u"Percent complete: 100%\r\nBytes downloaded: 2097152 kb\r\n"
                           u"Transfer Rate: 1.4 MB/s\r\nTime left: 0:42"_s;
    for (QLabel *label : {m_form->lblStatus1, m_form->lblStatus2, m_form->lblStatus3}) {
        const QRect box = label->contentsRect();
        const QRect needed = label->fontMetrics().boundingRect(box, Qt::TextWordWrap | Qt::AlignTop, status);
        QVERIFY2(needed.height() <= box.height(), qPrintable(label->objectName()));
    }
    for (QPushButton *button : {m_form->btnCancel1, m_form->btnCancel2, m_form->btnCancel3}) {
        const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        const int text = button->fontMetrics().horizontalAdvance(button->text());
        QVERIFY2(text + margin <= button->width(), qPrintable(button->objectName()));
        QCOMPARE(button->font(), m_form->btnCancel1->font());
        QVERIFY(button->font().pointSizeF() <= m_form->font().pointSizeF());
    }
}

QTEST_MAIN(TestForm1Layout)
#include "tst_form1layout.moc"
