// Module1 and the window against the recording fake of libsona, through
// the real binding: the exact calls each control, tick and drop makes,
// and what the user is told when something cannot be done, the library
// itself included.  The binding keeps what it loaded, so the cases for a
// missing library or entry run in processes of their own.
#include "Form1.h"
#include "Module1.h"
#include "fake_calls.h"
#include "sound_server.h"
#include "test_support.h"

#include <QApplication>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace {

class Window : public ::testing::Test {
protected:
    void SetUp() override
    {
        FAKE(FakeSona_Reset)();
        Module1::CurrentStream = 0;
        Module1::SpeakerFlags = 0;
        seams_ = strict_seams(&warnings_, [this](QWidget *) { return choice_(); });
        form_ = std::make_unique<Form1>(seams_);
        EXPECT_EQ(calls(), "SONA_Init(1, 44100, 0, 0, null)\n");
        FAKE(FakeSona_Reset)();
    }
    template <class T> T *control(const char *name)
    {
        return form_->findChild<T *>(QString::fromLatin1(name));
    }
    void play(const QString &path)
    {
        choice_ = [path] { return path; };
        control<QPushButton>("Command2")->click();
    }
    void balance(const QString &x, const QString &y)
    {
        control<QLineEdit>("Text1")->setText(x);
        control<QLineEdit>("Text2")->setText(y);
        control<QPushButton>("Command3")->click();
    }
    /* Runs the event loop until the window's own timer has ticked `count`
       times; its handler, connected first, has run by then. */
    void wait_for_ticks(int count)
    {
        QSignalSpy ticks(control<QTimer>("Timer1"), &QTimer::timeout);
        while (ticks.size() < count)
            ASSERT_TRUE(ticks.wait(30000)) << "the timer stopped ticking";
    }
    /* A drop as a file manager makes it, then what the window queued; the
       action taken, IgnoreAction when refused. */
    Qt::DropAction drop(const QStringList &urls, Qt::DropActions offered)
    {
        QMimeData data;
        data.setUrls(QUrl::fromStringList(urls));
        QDragEnterEvent enter({200, 150}, offered, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form_.get(), &enter);
        QDropEvent event({200, 150}, offered, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form_.get(), &event);
        EXPECT_EQ(calls(), "") << "played before the drop returned to the file manager";
        QCoreApplication::sendPostedEvents(form_.get(), QEvent::MetaCall);
        return enter.isAccepted() && event.isAccepted() ? event.dropAction() : Qt::IgnoreAction;
    }

    Form1Seams seams_;
    std::unique_ptr<Form1> form_;
    std::function<QString()> choice_ = [] { return QString(); };
    QStringList warnings_;
};

const char kNoOutput[] = "there is no audio output, because the sound device could not be opened or "
                         "Stop released it. Restart Quadrant to bring sound back.";

TEST_F(Window, TicksSendTheSliderForTheNewestStreamWhileTheChooserIsOpenToo)
{
    wait_for_ticks(1);
    EXPECT_EQ(calls(), volume(0, 30));
    control<QSlider>("Slider1")->setValue(100);
    choice_ = [this] { return wait_for_ticks(2), QStringLiteral("/music/one.flac"); };
    control<QPushButton>("Command2")->click();
    wait_for_ticks(1);
    EXPECT_EQ(calls(), volume(0, 30) + volume(0, 100) + volume(0, 100) +
                           played("/music/one.flac", 1) + volume(1, 100));
}

TEST_F(Window, ACancelledChooserKeepsTheStreamAndStopAndClosingReleaseTheOutputEachTime)
{
    play("/music/one.flac");
    play("");
    balance("700", "500");
    control<QPushButton>("Command1")->click();
    control<QPushButton>("Command1")->click();
    play("/music/two.flac"); /* still asks: it is the library that says there is no output */
    form_->show();
    form_->close();
    EXPECT_EQ(calls(), played("/music/one.flac", 1) + flags(1, "0x21000000") + "SONA_Free()\nSONA_Free()\n" +
                           played("/music/two.flac", 0) + "SONA_Free()\n");
    EXPECT_EQ(warnings_, QStringList{QString("\"two.flac\" cannot be played: ") + kNoOutput});
}

struct UnplayableRow {
    int32_t creation, play; /* the play on handle 0 then says its own */
    const char *reason;
};
const UnplayableRow kUnplayable[] = {
    {SONA_ERROR_FILEOPEN, SONA_ERROR_HANDLE, "the file is not there or cannot be read."},
    {SONA_ERROR_FORMAT, SONA_ERROR_HANDLE, "it is not in an audio format Quadrant supports."},
    {SONA_ERROR_INIT, SONA_ERROR_INIT, kNoOutput},
    {SONA_ERROR_DEVICE, SONA_OK, kNoOutput},
    {SONA_ERROR_MEMORY, SONA_OK, "the audio library could not open it as sound."},
};

TEST_F(Window, UnplayableFilesAreExplainedOnceByPlayByDropAndAtStartAndLeaveNoStream)
{
    for (const UnplayableRow &row : kUnplayable) {
        for (const char *way : {"chooser", "drop", "argument"}) {
            SCOPED_TRACE(std::string(row.reason) + " by " + way);
            Module1::CurrentStream = 7;
            FAKE(FakeSona_FailNext)("SONA_StreamCreateFile", row.creation);
            FAKE(FakeSona_FailNext)("SONA_ChannelPlay", row.play);
            if (way == std::string("drop"))
                EXPECT_EQ(drop({"file:///music/song.flac"}, Qt::CopyAction), Qt::CopyAction);
            else if (way == std::string("argument"))
                form_->openFiles({"/music/song.flac"});
            else
                play("/music/song.flac");
            EXPECT_EQ(warnings_, QStringList{QString("\"song.flac\" cannot be played: ") + row.reason});
            EXPECT_EQ(calls(), played("/music/song.flac", 0));
            EXPECT_EQ(Module1::CurrentStream, 0u);
            warnings_.clear();
            FAKE(FakeSona_Reset)();
        }
    }
}

/* The window as it opens: whether the library started its output (SONA_OUTPUT
   set or not), the files it was given, then Play on a fourth. */
struct StartRow {
    int32_t init; /* SONA_Init's error; SONA_OK, it starts */
    const char *output;
    QStringList files;
    std::string calls; /* after SONA_Init */
    QStringList told;
};
const char kPlaysOne[] = "Quadrant plays one file at a time: the files given after \"one.flac\" were not played.";
const char kUnknownOutput[] = "Quadrant has no sound: SONA_OUTPUT names \"pulseaudio\", which is no audio output it "
                              "knows; correct or unset SONA_OUTPUT, then restart Quadrant.";
const StartRow kStarts[] = {
    {SONA_OK, nullptr, {"/music/one.flac", "/music/two.flac", "/music/three.flac"},
     played("/music/one.flac", 1) + played("/music/four.flac", 2), {kPlaysOne}},
    {SONA_OK, "pulseaudio", {}, played("/music/four.flac", 1), {}},
    {SONA_ERROR_PARAM, "pulseaudio", {"/music/one.flac", "/music/two.flac"},
     played("/music/one.flac", 0) + played("/music/four.flac", 0),
     {kUnknownOutput, QString("\"one.flac\" cannot be played: ") + kNoOutput, kPlaysOne,
      QString("\"four.flac\" cannot be played: ") + kNoOutput}},
    {SONA_ERROR_DEVICE, "pulse", {}, played("/music/four.flac", 0),
     {"Quadrant has no sound: its audio output could not start (an error of the fake); restart Quadrant to try again.",
      QString("\"four.flac\" cannot be played: ") + kNoOutput}},
};

TEST_F(Window, AtStartWhatCannotBeDoneIsToldInALineEachAndTheWindowStays)
{
    for (const StartRow &row : kStarts) {
        SCOPED_TRACE(std::to_string(row.init) + " with " + (row.output ? row.output : "no SONA_OUTPUT"));
        form_.reset();
        FAKE(FakeSona_Reset)();
        if (row.output)
            setenv("SONA_OUTPUT", row.output, 1);
        else
            unsetenv("SONA_OUTPUT");
        if (row.init != SONA_OK)
            FAKE(FakeSona_FailNext)("SONA_Init", row.init);
        warnings_.clear();
        form_ = std::make_unique<Form1>(seams_);
        form_->openFiles(row.files);
        play("/music/four.flac");
        EXPECT_EQ(calls(), "SONA_Init(1, 44100, 0, 0, null)\n" + row.calls);
        EXPECT_EQ(warnings_, row.told);
        EXPECT_FALSE(form_->hasFailed());
    }
    unsetenv("SONA_OUTPUT");
}

/* What the line under the controls reads once the window has asked again. */
struct LineRow {
    const char *step;
    std::string calls;
    const char *line;
};

TEST_F(Window, PauseAndSpaceHoldAndResumeTheStreamAndTheLineSaysWhatPlaysAndWhere)
{
    constexpr int64_t kRate = 44100;
    auto *line = control<QLabel>("Label4");
    auto *text1 = control<QLineEdit>("Text1");
    choice_ = [] { return ADD_FAILURE() << "Space opened the chooser", QString(); };
    form_->show();
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
    FAKE(FakeSona_SetTag)(1, "title", "Song of \xc3\xa9t\xc3\xa9");
    FAKE(FakeSona_SetLength)(1, 271 * kRate);
    const std::map<std::string, std::function<void()>> steps{
        {"Pause", [&] { control<QPushButton>("Command4")->click(); }},
        {"Space on Play", [&] { control<QPushButton>("Command2")->setFocus(), QTest::keyClick(form_->focusWidget(), Qt::Key_Space); }},
        {"Space in X", [&] { text1->setFocus(), QTest::keyClick(text1, Qt::Key_Space); }},
        {"play one", [&] { form_->openFiles({"/music/one.flac"}); }},
        {"play two", [&] { form_->openFiles({"/music/two.flac"}); }},
        {"at 2:03", [&] { FAKE(FakeSona_SetPosition)(1, 123 * kRate), wait_for_ticks(1); }},
        {"at 1:02:03", [&] { FAKE(FakeSona_SetPosition)(2, 3723 * kRate), wait_for_ticks(1); }},
        {"end",
         [&] {
             /* No tick meanwhile: the event alone must tell the window. */
             auto *timer = control<QTimer>("Timer1");
             timer->stop();
             FAKE(FakeSona_PushEvent)(1, SONA_STATE_STOPPED);
             QTest::qWait(50);
             timer->start();
         }},
        /* The loop runs after it: a notifier left on the library's closed
           descriptor would say so. */
        {"Stop", [&] { control<QPushButton>("Command1")->click(), QTest::qWait(20); }},
    };
    const LineRow rows[] = {
        {"Pause", "", ""}, /* nothing to pause yet */
        {"Space on Play", "", ""},
        {"play one", played("/music/one.flac", 1), "Song of \xc3\xa9t\xc3\xa9   0:00 / 4:31"},
        {"at 2:03", "", "Song of \xc3\xa9t\xc3\xa9   2:03 / 4:31"},
        {"Pause", paused(1), "Song of \xc3\xa9t\xc3\xa9   2:03 / 4:31   Paused"},
        {"Space on Play", resumed(1), "Song of \xc3\xa9t\xc3\xa9   2:03 / 4:31"},
        {"Space on Play", paused(1), "Song of \xc3\xa9t\xc3\xa9   2:03 / 4:31   Paused"},
        {"Space in X", "", "Song of \xc3\xa9t\xc3\xa9   2:03 / 4:31   Paused"},
        {"Pause", resumed(1), "Song of \xc3\xa9t\xc3\xa9   2:03 / 4:31"},
        /* Played to its end, told by the library's event, not by a tick. */
        {"end", "", "Song of \xc3\xa9t\xc3\xa9   4:31 / 4:31"},
        {"Pause", resumed(1), "Song of \xc3\xa9t\xc3\xa9   0:00 / 4:31"},
        /* No title tag and no length yet: the file's name and the time alone. */
        {"play two", played("/music/two.flac", 2), "two.flac   0:00"},
        {"at 1:02:03", "", "two.flac   1:02:03"},
        {"Pause", paused(2), "two.flac   1:02:03   Paused"},
        {"Stop", "SONA_Free()\n", ""},
        {"Pause", "", ""}, /* the output is gone, and the stream with it */
    };
    for (const LineRow &row : rows) {
        SCOPED_TRACE(row.step);
        size_t seen = calls().size();
        steps.at(row.step)();
        EXPECT_EQ(calls_since(&seen), row.calls);
        EXPECT_EQ(line->text().toStdString(), row.line);
    }
    EXPECT_EQ(text1->text(), " ") << "Space did not type in the X box";
    EXPECT_TRUE(warnings_.isEmpty());
}

struct BoxRow {
    const char *x, *y;
    const char *outcome; /* the word routed, or the box blamed */
};
const BoxRow kBoxes[] = {
    {"500", "200", "0x22000000"}, {"100", "100", "0x12000000"}, {"100", "500", "0x11000000"},
    {"700", "500", "0x21000000"}, {"400", "300", "0x13000000"}, {"-5", "-5", "0x12000000"},
    {"399", "299", "0x12000000"}, {"401", "301", "0x21000000"}, {"399", "301", "0x11000000"},
    {"  +401 ", "\t299 ", "0x22000000"}, {"0399", "-0", "0x12000000"}, {"-32768", "-32768", "0x12000000"},
    {"32767", "32767", "0x21000000"}, {"-32768", "32767", "0x11000000"}, {"32767", "-32768", "0x22000000"},
    // On a dividing line but not at the centre, no speaker is chosen and
    // the word of the first Balance, front right, goes out again.
    {"400", "100", "0x21000000"}, {"100", "300", "0x21000000"}, {"400", "32767", "0x21000000"},
    {"-32768", "300", "0x21000000"}, {"401", "300", "0x21000000"}, {"400", "299", "0x21000000"},
    {"", "", "X"}, {"abc", "100", "X"}, {"1.5", "100", "X"}, {"100", "32768", "Y"}, {"-32769", "100", "X"},
    {"100", "99999999999999999999", "Y"}, {"0x10", "100", "X"}, {"100", "1e3", "Y"}, {"+-1", "100", "X"},
    {"100", "1 2", "Y"}, {"+", "100", "X"}, {"100", "\xd9\xa1\xd9\xa2", "Y"}, /* Arabic-Indic digits */
};

class Boxes : public Window, public ::testing::WithParamInterface<BoxRow> {};

TEST_P(Boxes, BalanceRoutesTheTypedPointByQuadrantOrBlamesTheFirstBadBox)
{
    balance("700", "500");
    balance(QString::fromUtf8(GetParam().x), QString::fromUtf8(GetParam().y));
    const std::string outcome = GetParam().outcome;
    const bool routed = outcome.size() > 1;
    EXPECT_EQ(calls(), flags(0, "0x21000000") + (routed ? flags(0, outcome.c_str()) : ""));
    EXPECT_EQ(warnings_, routed ? QStringList{}
                                : QStringList{QString::fromStdString(outcome) +
                                              " must be a whole number from -32768 to 32767."});
    auto *box = control<QLineEdit>(outcome == "Y" ? "Text2" : "Text1");
    EXPECT_TRUE(routed || (form_->focusWidget() == box && box->selectedText() == box->text()))
        << "the bad box is not focused and selected";
}

INSTANTIATE_TEST_SUITE_P(Rows, Boxes, ::testing::ValuesIn(kBoxes));

struct DropRow {
    QStringList urls;
    Qt::DropActions offered;
    Qt::DropAction taken; /* IgnoreAction: refused */
    std::string expected; /* the calls */
};
const auto kCopyOrMove = Qt::CopyAction | Qt::MoveAction;
const DropRow kDrops[] = {
    {{"file:///music/one.flac", "file:///music/two%20%C3%A9.ogg"}, kCopyOrMove, Qt::CopyAction,
     played("/music/one.flac", 1) + played("/music/two \xc3\xa9.ogg", 2)},
    {{"file:///music/one.flac"}, Qt::MoveAction | Qt::LinkAction, Qt::LinkAction, played("/music/one.flac", 1)},
    // A file manager deletes the file after a move it was told succeeded.
    {{"file:///music/one.flac"}, Qt::MoveAction, Qt::IgnoreAction, ""},
    {{"https://example.org/a.mp3"}, kCopyOrMove, Qt::IgnoreAction, ""},
    {{"file:///music/one.flac", "sftp://host/a.mp3"}, kCopyOrMove, Qt::IgnoreAction, ""},
    {{}, kCopyOrMove, Qt::IgnoreAction, ""},
};

TEST_F(Window, DropsPlayLocalFilesInOrderAsACopyOrLinkAndRefuseTheRest)
{
    for (const DropRow &row : kDrops) {
        SCOPED_TRACE(row.urls.join(' ').toStdString() + " offered as " + std::to_string(row.offered.toInt()));
        EXPECT_EQ(drop(row.urls, row.offered), row.taken);
        EXPECT_EQ(calls(), row.expected);
        FAKE(FakeSona_Reset)();
    }
}

/* Whether this process runs the case: if not, the case runs again in a
   process of its own whose loader looks for libraries in `dir` (it reads
   LD_LIBRARY_PATH only at a start), and passes when that run does. */
bool alone_with_libraries_in(const char *dir)
{
    if (std::getenv("QUADRANT_TEST_ALONE"))
        return true;
    const ::testing::TestInfo &test = *::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test.test_suite_name()) + "." + test.name();
    const sona_test::TempDir scratch;
    const std::string log = scratch.file("log");
    sound::Child child({std::filesystem::read_symlink("/proc/self/exe"), "--gtest_filter=" + name},
                       {"QUADRANT_TEST_ALONE=1", std::string("LD_LIBRARY_PATH=") + dir}, log);
    const int status = child.wait(std::chrono::seconds(60));
    const std::vector<uint8_t> output = sona_test::read_file(log);
    const std::string text(output.begin(), output.end());
    EXPECT_TRUE(status == 0 && text.find("[  PASSED  ] 1 test.") != std::string::npos)
        << "alone, with " << dir << ":\n" << text;
    return false;
}

/* Without a usable library: shows the window, presses Play first if asked,
   and returns the messages once the program has ended, each checked for
   the timer stopped before it is shown (ticks would fail the same way) and
   the event loop for its own status 1; every button then does nothing. */
QStringList run_until_fatal(bool play)
{
    QStringList messages;
    Form1Seams seams;
    seams.chooseFile = [](QWidget *) { return QStringLiteral("/music/one.flac"); };
    seams.warn = seams.critical = [&](QWidget *parent, const QString &text) {
        EXPECT_FALSE(parent->findChild<QTimer *>("Timer1")->isActive()) << "ticks go on failing";
        messages << text;
    };
    Form1 form(seams);
    form.show();
    if (play)
        QTimer::singleShot(0, &form, [&form] { form.findChild<QPushButton *>("Command2")->click(); });
    EXPECT_EQ(QCoreApplication::exec(), 1);
    for (const char *name : {"Command1", "Command2", "Command3"})
        form.findChild<QPushButton *>(name)->click();
    form.close();
    return messages;
}

TEST(Fatal, AMissingLibraryEndsTheProgramWithOneMessage)
{
    if (!alone_with_libraries_in(LIBRARY_DIR_NONE))
        return;
    const QStringList messages = run_until_fatal(false);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(modSona::LibraryFile) && messages[0].contains("No such file"))
        << messages[0].toStdString();
}

TEST(Fatal, AMissingEntryEndsTheProgramAtItsFirstCall)
{
    if (!alone_with_libraries_in(LIBRARY_DIR_MISSING_ENTRY))
        return;
    const QStringList messages = run_until_fatal(true);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("SONA_ChannelPlay")) << messages[0].toStdString();
    /* The output it opened is released, once. */
    EXPECT_EQ(QString::fromStdString(calls()).count("SONA_Free()"), 1) << calls();
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // CTest lists the cases with none of the settings it runs them with,
    // a display among them.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // A warning of Qt's is a fault of the window's: a notifier left on the
    // library's closed descriptor, a connection that does not fit.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            ADD_FAILURE() << "Qt said: " << text.toStdString();
    });
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
