// Form1 as the desktop meets it, against the recording fake of libsona:
// files dropped from a file manager, and what a screen reader and the
// keyboard find.  Drag events are made here as Qt delivers them to the
// window under the pointer.
#include "Form1.h"
#include "Module1.h"
#include "fake_sona.h"
#include "form1_harness.h"
#include "modSona.h"

#include <QAccessible>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QUrl>

#include <memory>
#include <string>

namespace {

std::string playCalls(const QString &path, int handle)
{
    return "SONA_StreamCreateFile(0, \"" + path.toStdString() + "\", 0, 0, 0) -> " +
           std::to_string(handle) + "\nSONA_ChannelPlay(" + std::to_string(handle) + ", 0)\n";
}

QString log()
{
    return QString::fromStdString(fake_sona::calls());
}

std::unique_ptr<QMimeData> urls(const QStringList &texts)
{
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> list;
    for (const QString &text : texts)
        list << QUrl(text);
    data->setUrls(list);
    return data;
}

// Somewhere on the window's own background, right of the Balance button.
const QPoint DropPoint(200, 150);

} // namespace

class Form1DesktopTest : public QObject {
    Q_OBJECT

    Recorder rec;
    std::unique_ptr<Form1> form;
    bool playedInsideDrop = false;

    template <class T> T *control(const char *name)
    {
        T *widget = form->findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no control %s", name);
        return widget;
    }

    void open()
    {
        form = std::make_unique<Form1>(rec.seams());
        fake_sona::reset();
    }

    // Whether the window takes the drag on entering, and as what.
    bool enter(const QMimeData &data, Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction,
               Qt::DropAction *taken = nullptr)
    {
        QDragEnterEvent event(DropPoint, offered, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &event);
        if (taken)
            *taken = event.dropAction();
        return event.isAccepted();
    }

    // Enters, moves and drops as a file manager would, then lets the window
    // play what it took; returns whether the drop was accepted.
    bool drop(const QMimeData &data, Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction,
              Qt::DropAction *taken = nullptr)
    {
        if (!enter(data, offered))
            return false;
        QDragMoveEvent move(DropPoint, offered, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &move);
        QDropEvent event(DropPoint, offered, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &event);
        if (taken)
            *taken = event.dropAction();
        // The drop returns before anything plays; cleanup() checks.
        playedInsideDrop = playedInsideDrop || !log().isEmpty();
        QCoreApplication::sendPostedEvents(form.get(), QEvent::MetaCall);
        return event.isAccepted();
    }

private slots:
    void init()
    {
        fake_sona::reset();
        Module1::CurrentStream = 0;
        Module1::SpeakerFlags = 0;
        rec = Recorder();
        playedInsideDrop = false;
    }

    void cleanup()
    {
        form.reset();
        QVERIFY2(!playedInsideDrop, "a file played before the drop had returned");
    }

    // ---- dropped files

    void droppedFilesPlayInOrderAndTheLastTakesControl_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("logged"); // as the fake writes the bytes it was given
        const QStringList three = {"/music/one.flac", "/music/two.ogg", "/music/three.wav"};
        QTest::newRow("one") << QStringList{"/music/one.flac"} << QStringList{"/music/one.flac"};
        QTest::newRow("three") << three << three;
        QTest::newRow("spaces and accents, in UTF-8")
            << QStringList{QString::fromUtf8("/music/Caf\xc3\xa9 del Mar/01 Intro.mp3")}
            << QStringList{"/music/Caf\\xc3\\xa9 del Mar/01 Intro.mp3"};
    }

    void droppedFilesPlayInOrderAndTheLastTakesControl()
    {
        QFETCH(QStringList, paths);
        QFETCH(QStringList, logged);
        open();
        QVERIFY(form->acceptDrops());
        QStringList fileUrls;
        std::string expected;
        for (qsizetype i = 0; i < paths.size(); ++i) {
            fileUrls << QUrl::fromLocalFile(paths[i]).toString();
            expected += playCalls(logged[i], int(i) + 1);
        }
        Qt::DropAction taken = Qt::IgnoreAction;
        QVERIFY(drop(*urls(fileUrls), Qt::CopyAction | Qt::MoveAction, &taken));
        QCOMPARE(taken, Qt::CopyAction);
        QCOMPARE(log(), QString::fromStdString(expected));
        QCOMPARE(Module1::CurrentStream, modSona::StreamHandle(paths.size()));
        QCOMPARE(rec.chooserCalls, 0);
        QVERIFY(rec.warnings.isEmpty());
    }

    void unplayableDroppedFileIsExplainedAsPlayWouldAndTheRestPlay()
    {
        open();
        // The message Play gives for this file is the one the drop must give.
        fake_sona::failNext("SONA_StreamCreateFile", modSona::ErrorFormat);
        rec.choose = [] { return QStringLiteral("/music/notes.txt"); };
        control<QPushButton>("Command2")->click();
        QCOMPARE(rec.warnings.size(), 1);
        const QStringList playMessage = rec.warnings;
        rec.warnings.clear();
        fake_sona::reset();

        fake_sona::failNext("SONA_StreamCreateFile", modSona::ErrorFormat);
        QVERIFY(drop(*urls({"file:///music/notes.txt", "file:///music/one.flac"})));
        QCOMPARE(rec.warnings, playMessage);
        QCOMPARE(log(), QString::fromStdString(playCalls("/music/notes.txt", 0) +
                                               playCalls("/music/one.flac", 1)));
        QCOMPARE(Module1::CurrentStream, 1u);

        // Unplayable last: the current stream is 0, as after Play.
        rec.warnings.clear();
        fake_sona::reset();
        fake_sona::failNext("SONA_StreamCreateFile", modSona::ErrorFileOpen);
        QVERIFY(drop(*urls({"file:///music/gone.flac"})));
        QCOMPARE(rec.warnings, QStringList{"\"gone.flac\" cannot be played: the file is not "
                                           "there or cannot be read."});
        QCOMPARE(Module1::CurrentStream, 0u);
    }

    void dragIsRefusedUnlessEveryUrlIsALocalFile_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("web") << QStringList{"https://example.org/song.mp3"};
        QTest::newRow("sftp") << QStringList{"sftp://host/music/song.mp3"};
        QTest::newRow("local and web")
            << QStringList{"file:///music/one.flac", "https://example.org/song.mp3"};
        QTest::newRow("web and local")
            << QStringList{"https://example.org/song.mp3", "file:///music/one.flac"};
        QTest::newRow("no urls") << QStringList{};
    }

    void dragIsRefusedUnlessEveryUrlIsALocalFile()
    {
        QFETCH(QStringList, texts);
        open();
        const std::unique_ptr<QMimeData> data = urls(texts);
        QVERIFY(!enter(*data));

        // Even a drop that arrives regardless plays nothing.
        QDropEvent event(DropPoint, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &event);
        QVERIFY(!event.isAccepted());
        QCoreApplication::sendPostedEvents(form.get(), QEvent::MetaCall);
        QCOMPARE(log(), QString());
        QVERIFY(rec.warnings.isEmpty());
    }

    void textWithoutUrlsIsRefused()
    {
        open();
        QMimeData data;
        data.setText(QStringLiteral("/music/one.flac"));
        QVERIFY(!enter(data));
    }

    // A file manager deletes the file after a move it was told succeeded.
    void dropIsTakenAsACopyOrLinkNeverAMove_data()
    {
        QTest::addColumn<int>("offered");
        QTest::addColumn<int>("taken"); // IgnoreAction: refused
        QTest::newRow("copy or move") << int(Qt::CopyAction | Qt::MoveAction) << int(Qt::CopyAction);
        QTest::newRow("move or link") << int(Qt::MoveAction | Qt::LinkAction) << int(Qt::LinkAction);
        QTest::newRow("link") << int(Qt::LinkAction) << int(Qt::LinkAction);
        QTest::newRow("move only") << int(Qt::MoveAction) << int(Qt::IgnoreAction);
    }

    void dropIsTakenAsACopyOrLinkNeverAMove()
    {
        QFETCH(int, offered);
        QFETCH(int, taken);
        open();
        const std::unique_ptr<QMimeData> data = urls({"file:///music/one.flac"});
        const auto actions = Qt::DropActions(offered);
        Qt::DropAction action = Qt::IgnoreAction;
        if (taken == Qt::IgnoreAction) {
            QVERIFY(!enter(*data, actions));
            QDropEvent event(DropPoint, actions, data.get(), Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(form.get(), &event);
            QVERIFY(!event.isAccepted());
            QCoreApplication::sendPostedEvents(form.get(), QEvent::MetaCall);
            QCOMPARE(log(), QString());
            return;
        }
        QVERIFY(enter(*data, actions, &action));
        QCOMPARE(int(action), taken);
        action = Qt::IgnoreAction;
        QVERIFY(drop(*data, actions, &action));
        QCOMPARE(int(action), taken);
        QCOMPARE(log(), QString::fromStdString(playCalls("/music/one.flac", 1)));
    }

    void dropLeavesTheChooserAsItIs()
    {
        open();
        QVERIFY(drop(*urls({"file:///music/one.flac"})));
        rec.choose = [] { return QStringLiteral("/music/two.ogg"); };
        control<QPushButton>("Command2")->click();
        QCOMPARE(rec.chooserCalls, 1);
        QCOMPARE(log(), QString::fromStdString(playCalls("/music/one.flac", 1) +
                                               playCalls("/music/two.ogg", 2)));
    }

    // ---- screen readers and the keyboard

    void labelsNameTheirControls_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::newRow("volume") << "Label1" << "Slider1" << "Volume";
        QTest::newRow("x") << "Label2" << "Text1" << "X";
        QTest::newRow("y") << "Label3" << "Text2" << "Y";
    }

    void labelsNameTheirControls()
    {
        QFETCH(QString, label);
        QFETCH(QString, control);
        QFETCH(QString, name);
        open();
        form->show();
        auto *widget = this->control<QWidget>(control.toLatin1().constData());
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(accessible);
        QCOMPARE(accessible->text(QAccessible::Name), name);
        QCOMPARE(this->control<QLabel>(label.toLatin1().constData())->buddy(), widget);
    }

    void tabWalksPlaySliderStopBalanceXYAndRoundAgain()
    {
        open();
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QCOMPARE(QApplication::focusWidget(), control<QWidget>("Command2"));

        const QStringList forward = {"Slider1", "Command1", "Command3",
                                     "Text1",   "Text2",    "Command2"};
        QStringList walked;
        for (qsizetype i = 0; i < forward.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            walked << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(walked, forward);

        const QStringList backward = {"Text2",   "Text1",   "Command3",
                                      "Command1", "Slider1", "Command2"};
        walked.clear();
        for (qsizetype i = 0; i < backward.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
            walked << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(walked, backward);
        // Walking the window reaches the library with nothing.
        QCOMPARE(rec.chooserCalls, 0);
    }
};

QTEST_MAIN(Form1DesktopTest)
#include "test_form1_desktop.moc"
