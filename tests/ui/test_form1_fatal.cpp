// Form1 when the audio library cannot be loaded.  Each case needs a process
// of its own (see CMakeLists.txt): the binding keeps what it loaded.
#include "Form1.h"
#include "fake_sona.h"
#include "form1_harness.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

class Form1FatalTest : public QObject {
    Q_OBJECT

private slots:
    // Run with no libsona.so on the loader's path.
    void missingLibraryEndsTheProgramWithOneMessage()
    {
        Recorder rec;
        bool timerStoppedFirst = false;
        // The first tick would fail too: the message must find the timer
        // already stopped.  The load runs inside the constructor, hence the
        // parent, not the form, to reach it.
        rec.duringCritical = [&](QWidget *parent) {
            timerStoppedFirst = !timerOf(*parent)->isActive();
        };
        Form1 form(rec.seams());

        QVERIFY(form.hasFailed());
        QCOMPARE(rec.criticals.size(), 1);
        const QString &text = rec.criticals.first();
        QVERIFY2(text.contains("libsona.so"), qPrintable(text));
        QVERIFY2(text.contains("cannot open shared object file: No such file or directory"),
                 qPrintable(text));
        QVERIFY(timerStoppedFirst);
        QCOMPARE(rec.exits, QList<int>{1});

        // Ending: the window stays hidden and every control does nothing more.
        form.show();
        QVERIFY(!form.isVisible());
        form.findChild<QLineEdit *>("Text1")->setText("1");
        form.findChild<QLineEdit *>("Text2")->setText("1");
        for (const char *name : {"Command1", "Command2", "Command3"})
            form.findChild<QPushButton *>(name)->click();
        form.close();
        QCOMPARE(rec.chooserCalls, 0);
        QCOMPARE(rec.criticals.size(), 1);
        QVERIFY(rec.warnings.isEmpty());
        QCOMPARE(rec.exits, QList<int>{1});
    }

    // Run with no libsona.so on the loader's path, the real exit included.
    void missingLibraryMakesTheEventLoopReturnOne()
    {
        Recorder rec;
        Form1Seams seams = rec.seams();
        seams.exit = nullptr; // the real one
        Form1 form(seams);
        QCOMPARE(rec.criticals.size(), 1);
        form.show();
        // The load ran before the loop, as in main; the loop ends at once.
        QCOMPARE(QCoreApplication::exec(), 1);
    }

    // Run with a libsona.so that lacks SONA_ChannelPlay.
    void missingEntryEndsTheProgramAtItsFirstCall()
    {
        Recorder rec;
        Form1 form(rec.seams());
        QVERIFY(!form.hasFailed());
        QVERIFY(waitForTicks(form));
        QCOMPARE(QString::fromStdString(fake_sona::calls()),
                 QStringLiteral("SONA_Init(1, 44100, 0, 0, null)\n"
                                "SONA_ChannelSetAttributes(0, 0, 30, 64)\n"));
        fake_sona::reset();

        bool timerStoppedFirst = false;
        rec.duringCritical = [&](QWidget *) { timerStoppedFirst = !timerOf(form)->isActive(); };
        rec.choose = [] { return QStringLiteral("/music/one.flac"); };
        form.findChild<QPushButton *>("Command2")->click();

        QVERIFY(form.hasFailed());
        QCOMPARE(rec.criticals.size(), 1);
        const QString &text = rec.criticals.first();
        QVERIFY2(text.contains("libsona.so") && text.contains("SONA_ChannelPlay"),
                 qPrintable(text));
        QVERIFY(timerStoppedFirst);
        QCOMPARE(rec.exits, QList<int>{1});
        // The output it opened is released on the way out, once.
        QCOMPARE(QString::fromStdString(fake_sona::calls()),
                 QStringLiteral("SONA_StreamCreateFile(0, \"/music/one.flac\", 0, 0, 0) -> 1\n"
                                "SONA_Free()\n"));

        fake_sona::reset();
        form.findChild<QPushButton *>("Command1")->click();
        form.findChild<QPushButton *>("Command2")->click();
        form.close();
        QCOMPARE(QString::fromStdString(fake_sona::calls()), QString());
        QCOMPARE(rec.chooserCalls, 1);
        QCOMPARE(rec.criticals.size(), 1);
    }
};

QTEST_MAIN(Form1FatalTest)
#include "test_form1_fatal.moc"
