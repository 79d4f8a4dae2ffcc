// Form1 against the recording fake of libsona, through the real binding and
// Module1: what each control and tick makes the library do, and what the user
// is told when something cannot be done.
#include "Form1.h"
#include "Module1.h"
#include "fake_sona.h"
#include "form1_harness.h"
#include "modSona.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <string>

namespace {

const std::string Init = "SONA_Init(1, 44100, 0, 0, null)\n";
const std::string Free = "SONA_Free()\n";

std::string volumeCall(int handle, int volume)
{
    return "SONA_ChannelSetAttributes(" + std::to_string(handle) + ", 0, " +
           std::to_string(volume) + ", 64)\n";
}

std::string flagsCall(int handle, const char *word)
{
    return "SONA_ChannelSetFlags(" + std::to_string(handle) + ", " + word + ")\n";
}

std::string playCalls(const char *path, int handle)
{
    return std::string("SONA_StreamCreateFile(0, \"") + path + "\", 0, 0, 0) -> " +
           std::to_string(handle) + "\nSONA_ChannelPlay(" + std::to_string(handle) + ", 0)\n";
}

QString log()
{
    return QString::fromStdString(fake_sona::calls());
}

} // namespace

class Form1Test : public QObject {
    Q_OBJECT

    Recorder rec;
    std::unique_ptr<Form1> form;

    template <class T> T *control(const char *name)
    {
        T *widget = form->findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no control %s", name);
        return widget;
    }

    // A window as the user finds it: loaded, with the library's log cleared.
    void open()
    {
        form = std::make_unique<Form1>(rec.seams());
        fake_sona::reset();
    }

    void play(const char *path)
    {
        rec.choose = [path] { return QString::fromUtf8(path); };
        control<QPushButton>("Command2")->click();
    }

    void balance(const QString &x, const QString &y)
    {
        control<QLineEdit>("Text1")->setText(x);
        control<QLineEdit>("Text2")->setText(y);
        control<QPushButton>("Command3")->click();
    }

private slots:
    void init()
    {
        fake_sona::reset();
        Module1::CurrentStream = 0;
        Module1::SpeakerFlags = 0;
        rec = Recorder();
    }

    void cleanup() { form.reset(); }

    // ---- start-up

    void loadOpensTheOutputOnceAndCallsNothingBefore()
    {
        form = std::make_unique<Form1>(rec.seams());
        QCOMPARE(log(), QString::fromStdString(Init));
        QVERIFY(!form->hasFailed());
        QVERIFY(rec.warnings.isEmpty() && rec.criticals.isEmpty() && rec.exits.isEmpty());
    }

    void windowHasItsCaptionAndSize()
    {
        open();
        QCOMPARE(form->windowTitle(), QStringLiteral("Form1"));
        QCOMPARE(form->size(), QSize(415, 240));
        QVERIFY(form->layout() == nullptr);
    }

    void controlSitsAtItsTwipPositionWithItsText_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        // Twips from the window's drawing, divided by 15.
        QTest::newRow("Command2") << "Command2" << QRect(16, 8, 113, 25) << "Play";
        QTest::newRow("Slider1") << "Slider1" << QRect(16, 80, 321, 33) << "";
        QTest::newRow("Command1") << "Command1" << QRect(136, 8, 105, 25) << "Stop";
        QTest::newRow("Label1") << "Label1" << QRect(16, 56, 41, 17) << "Volume";
        QTest::newRow("Command3") << "Command3" << QRect(16, 136, 73, 25) << "Balance";
        QTest::newRow("Text1") << "Text1" << QRect(24, 184, 33, 19) << "";
        QTest::newRow("Text2") << "Text2" << QRect(88, 184, 33, 19) << "";
        QTest::newRow("Label2") << "Label2" << QRect(8, 184, 17, 17) << "X";
        QTest::newRow("Label3") << "Label3" << QRect(72, 184, 9, 17) << "Y";
    }

    void controlSitsAtItsTwipPositionWithItsText()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        open();
        form->show();
        QWidget *widget = control<QWidget>(name.toLatin1().constData());
        QCOMPARE(widget->property("text").toString(), text);
        QCOMPARE(widget->geometry(), geometry);
        // No resize handling: a bigger window leaves the control where it was.
        form->resize(800, 600);
        QCOMPARE(widget->geometry(), geometry);
    }

    void tabOrderRunsPlaySliderStopBalanceXY()
    {
        open();
        const QStringList expected = {"Command2", "Slider1", "Command1",
                                      "Command3", "Text1",   "Text2"};
        QStringList chain;
        QWidget *widget = control<QWidget>("Command2");
        do {
            if (widget->focusPolicy() & Qt::TabFocus)
                chain << widget->objectName();
            widget = widget->nextInFocusChain();
        } while (widget != control<QWidget>("Command2") && chain.size() <= expected.size());
        QCOMPARE(chain, expected);
        for (const char *label : {"Label1", "Label2", "Label3"})
            QCOMPARE(control<QLabel>(label)->focusPolicy(), Qt::NoFocus);
    }

    void focusStartsOnPlay()
    {
        open();
        QCOMPARE(form->focusWidget(), control<QWidget>("Command2"));
    }

    void enterPressesNoButton()
    {
        open();
        for (const char *name : {"Command1", "Command2", "Command3"}) {
            auto *button = control<QPushButton>(name);
            QVERIFY(!button->autoDefault());
            QVERIFY(!button->isDefault());
            QTest::keyClick(button, Qt::Key_Return);
            QTest::keyClick(button, Qt::Key_Enter);
        }
        QTest::keyClick(control<QLineEdit>("Text2"), Qt::Key_Return);
        QCOMPARE(rec.chooserCalls, 0);
        QVERIFY(rec.warnings.isEmpty());
        QCOMPARE(log(), QString());
    }

    void sliderAndTimerAreSetUp()
    {
        open();
        auto *slider = control<QSlider>("Slider1");
        QCOMPARE(slider->orientation(), Qt::Horizontal);
        QCOMPARE(slider->minimum(), 0);
        QCOMPARE(slider->maximum(), 100);
        QCOMPARE(slider->value(), 30);
        QCOMPARE(slider->singleStep(), 1);
        QCOMPARE(slider->pageStep(), 5);
        QTimer *timer = timerOf(*form);
        QVERIFY(timer);
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 100);
    }

    // ---- volume

    void ticksPassTheSliderWithTheCurrentHandle()
    {
        open();
        auto *slider = control<QSlider>("Slider1");
        QVERIFY(waitForTicks(*form));
        QCOMPARE(log(), QString::fromStdString(volumeCall(0, 30)));

        const struct {
            Qt::Key key;
            int volume;
        } moves[] = {{Qt::Key_Home, 0},     {Qt::Key_End, 100}, {Qt::Key_PageDown, 95},
                     {Qt::Key_Left, 94},    {Qt::Key_PageUp, 99}, {Qt::Key_Right, 100},
                     {Qt::Key_Right, 100}};
        for (const auto &move : moves) {
            fake_sona::reset();
            QTest::keyClick(slider, move.key);
            QVERIFY(waitForTicks(*form));
            QCOMPARE(log(), QString::fromStdString(volumeCall(0, move.volume)));
        }

        // Ticks follow the newest stream, moved or not.
        play("/music/one.flac");
        fake_sona::reset();
        QVERIFY(waitForTicks(*form, 2));
        QCOMPARE(log(), QString::fromStdString(volumeCall(1, 100) + volumeCall(1, 100)));
    }

    void ticksGoOnWhileTheChooserIsOpen()
    {
        open();
        rec.choose = [this] {
            // The chooser is modal to the window, not to its timer.
            if (!waitForTicks(*form, 2))
                return QString();
            return QStringLiteral("/music/one.flac");
        };
        control<QPushButton>("Command2")->click();
        QCOMPARE(rec.chooserCalls, 1);
        QCOMPARE(log(), QString::fromStdString(volumeCall(0, 30) + volumeCall(0, 30) +
                                               playCalls("/music/one.flac", 1)));
    }

    // ---- play

    void playPlaysTheChosenFileAndTheNewestTakesControl()
    {
        open();
        play("/music/one.flac");
        play("/music/two.ogg");
        balance("100", "100");
        QCOMPARE(rec.chooserCalls, 2);
        QCOMPARE(log(), QString::fromStdString(playCalls("/music/one.flac", 1) +
                                               playCalls("/music/two.ogg", 2) +
                                               flagsCall(2, "0x12000000")));
        QVERIFY(rec.warnings.isEmpty());
    }

    void cancelledChooserLeavesThePlayingStreamInCharge()
    {
        open();
        play("/music/one.flac");
        fake_sona::reset();
        rec.choose = [] { return QString(); };
        control<QPushButton>("Command2")->click();
        QCOMPARE(rec.chooserCalls, 2);
        QCOMPARE(log(), QString());
        QCOMPARE(Module1::CurrentStream, 1u);
        QVERIFY(rec.warnings.isEmpty());

        balance("700", "500");
        QVERIFY(waitForTicks(*form));
        QCOMPARE(log(), QString::fromStdString(flagsCall(1, "0x21000000") + volumeCall(1, 30)));
    }

    void unplayableFileIsExplained_data()
    {
        QTest::addColumn<int>("creationError");
        QTest::addColumn<int>("playError"); // what the play on handle 0 then says
        QTest::addColumn<QString>("message");
        const QString unreadable =
            "\"song.flac\" cannot be played: the file is not there or cannot be read.";
        const QString format =
            "\"song.flac\" cannot be played: it is not in an audio format Quadrant supports.";
        const QString noOutput =
            "\"song.flac\" cannot be played: there is no audio output, because the sound device "
            "could not be opened or Stop released it. Restart Quadrant to bring sound back.";
        const QString generic =
            "\"song.flac\" cannot be played: the audio library could not open it as sound.";
        using namespace modSona;
        QTest::newRow("file open") << int(ErrorFileOpen) << int(ErrorOk) << unreadable;
        QTest::newRow("format") << int(ErrorFormat) << int(ErrorOk) << format;
        QTest::newRow("output released") << int(ErrorInit) << int(ErrorInit) << noOutput;
        QTest::newRow("device") << int(ErrorDevice) << int(ErrorOk) << noOutput;
        QTest::newRow("memory") << int(ErrorMemory) << int(ErrorOk) << generic;
        // As the real library answers: the play on handle 0 says HANDLE, and
        // the creation's own reason must still be the one the user reads.
        QTest::newRow("format, then play on 0") << int(ErrorFormat) << int(ErrorHandle) << format;
        QTest::newRow("file open, then play on 0")
            << int(ErrorFileOpen) << int(ErrorHandle) << unreadable;
    }

    void unplayableFileIsExplained()
    {
        QFETCH(int, creationError);
        QFETCH(int, playError);
        QFETCH(QString, message);
        const QByteArray path = "/music/song.flac";
        open();
        fake_sona::failNext("SONA_StreamCreateFile", creationError);
        if (playError != modSona::ErrorOk)
            fake_sona::failNext("SONA_ChannelPlay", playError);
        play(path.constData());

        // PlayFile ran as ever: the failed handle replaced the current one.
        QCOMPARE(log(), QString::fromStdString(playCalls(path.constData(), 0)));
        QCOMPARE(Module1::CurrentStream, 0u);
        QCOMPARE(rec.warnings, QStringList{message});
        QVERIFY(rec.criticals.isEmpty());
        QVERIFY(rec.exits.isEmpty());
    }

    // ---- balance

    void balanceRoutesThePointTyped_data()
    {
        QTest::addColumn<QString>("x");
        QTest::addColumn<QString>("y");
        QTest::addColumn<QString>("word");
        // The table itself is Module1's test; these prove X and Y reach it
        // in that order, parsed as the boxes allow.
        QTest::newRow("front left") << "100" << "500" << "0x11000000";
        QTest::newRow("rear right") << "500" << "200" << "0x22000000";
        QTest::newRow("spaces and signs") << "  +401 " << "\t299 " << "0x22000000";
        QTest::newRow("leading zeros") << "0399" << "-0" << "0x12000000";
        QTest::newRow("range ends") << "-32768" << "32767" << "0x11000000";
        QTest::newRow("dividing line, nothing before") << "400" << "100" << "0x00000000";
    }

    void balanceRoutesThePointTyped()
    {
        QFETCH(QString, x);
        QFETCH(QString, y);
        QFETCH(QString, word);
        open();
        balance(x, y);
        QCOMPARE(log(), QString::fromStdString(flagsCall(0, word.toLatin1().constData())));
        QVERIFY(rec.warnings.isEmpty());
    }

    void badTextStopsBalanceAtThatBox_data()
    {
        QTest::addColumn<QString>("x");
        QTest::addColumn<QString>("y");
        QTest::addColumn<QString>("box"); // the box that is blamed and gets the focus
        const QString ok = "100";
        const QStringList bad = {"",      "   ",    "abc",   "1.5",
                                 "1,5",   "32768",  "-32769", "99999999999999999999",
                                 "0x10",  "1e3",    "+-1",   "- 1",
                                 "1 2",   "+",      QString::fromUtf8("\xd9\xa1\xd9\xa2"),
                                 QString::fromUtf8("\xef\xbc\x91\xef\xbc\x92")};
        for (const QString &text : bad) {
            QTest::addRow("X '%s'", qPrintable(text)) << text << ok << "X";
            QTest::addRow("Y '%s'", qPrintable(text)) << ok << text << "Y";
        }
        QTest::newRow("both bad: X first") << "a" << "b" << "X";
        QTest::newRow("both empty, as at start") << "" << "" << "X";
    }

    void badTextStopsBalanceAtThatBox()
    {
        QFETCH(QString, x);
        QFETCH(QString, y);
        QFETCH(QString, box);
        open();
        auto *blamed = control<QLineEdit>(box == "X" ? "Text1" : "Text2");
        control<QPushButton>("Command3")->setFocus();
        balance(x, y);

        QCOMPARE(rec.warnings,
                 QStringList{box + " must be a whole number from -32768 to 32767."});
        QCOMPARE(log(), QString());
        QCOMPARE(form->focusWidget(), blamed);
        QCOMPARE(blamed->selectedText(), blamed->text());
        QVERIFY(rec.criticals.isEmpty() && rec.exits.isEmpty());

        // The program goes on: with the boxes mended, Balance routes.
        rec.warnings.clear();
        control<QLineEdit>("Text1")->setText(QStringLiteral("100"));
        control<QLineEdit>("Text2")->setText(QStringLiteral("100"));
        control<QPushButton>("Command3")->click();
        QVERIFY(rec.warnings.isEmpty());
        QCOMPARE(log(), QString::fromStdString(flagsCall(0, "0x12000000")));
    }

    // ---- stop and close

    void stopTwiceThenCloseFreesEachTime()
    {
        open();
        control<QPushButton>("Command1")->click();
        control<QPushButton>("Command1")->click();
        QVERIFY(timerOf(*form)->isActive());
        QCOMPARE(log(), QString::fromStdString(Free + Free));

        // Play after Stop still runs; it is the library that stays silent.
        play("/music/one.flac");
        QCOMPARE(rec.chooserCalls, 1);
        fake_sona::reset();

        form->show();
        QVERIFY(form->close());
        QCOMPARE(log(), QString::fromStdString(Free));
        QVERIFY(rec.warnings.isEmpty() && rec.criticals.isEmpty() && rec.exits.isEmpty());
    }
};

QTEST_MAIN(Form1Test)
#include "test_form1.moc"
