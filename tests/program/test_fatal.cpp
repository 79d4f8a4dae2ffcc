// The window when its audio library cannot be used: no libsona on the
// loader's path, or one without an entry the program calls.  Either gives
// one message, naming what is missing, and exit status 1.  The binding
// keeps what it loaded, so each case runs in a process of its own, with
// the loader's path set by CMakeLists.txt.
#include "Form1.h"
#include "modSona.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

struct Seen {
    QStringList messages;
    int chooser_calls = 0;
    bool timer_stopped_first = true;
};

/* The real exit, so that the event loop's own status is what is judged. */
Form1Seams seams(Seen &seen, const QString &chosen = {})
{
    Form1Seams s;
    s.chooseFile = [&seen, chosen](QWidget *) { return ++seen.chooser_calls, chosen; };
    s.warn = [&seen](QWidget *, const QString &text) { seen.messages << text; };
    s.critical = [&seen](QWidget *parent, const QString &text) {
        // Ticks would fail the same way while the message is up.
        seen.timer_stopped_first = seen.timer_stopped_first &&
                                   !parent->findChild<QTimer *>("Timer1")->isActive();
        seen.messages << text;
    };
    return s;
}

void press_everything(Form1 &form)
{
    for (const char *name : {"Command1", "Command2", "Command3"})
        form.findChild<QPushButton *>(name)->click();
    form.close();
}

TEST(Fatal, AMissingLibraryEndsTheProgramWithOneMessage)
{
    Seen seen;
    Form1 form(seams(seen));
    form.show();
    EXPECT_EQ(QCoreApplication::exec(), 1);
    EXPECT_FALSE(form.isVisible());
    press_everything(form);
    ASSERT_EQ(seen.messages.size(), 1);
    EXPECT_TRUE(seen.messages[0].contains(modSona::LibraryFile)) << seen.messages[0].toStdString();
    EXPECT_TRUE(seen.messages[0].contains("No such file")) << seen.messages[0].toStdString();
    EXPECT_TRUE(seen.timer_stopped_first);
    EXPECT_EQ(seen.chooser_calls, 0);
}

TEST(Fatal, AMissingEntryEndsTheProgramAtItsFirstCall)
{
    Seen seen;
    Form1 form(seams(seen, "/music/one.flac"));
    form.show();
    QTimer::singleShot(0, &form, [&form] { form.findChild<QPushButton *>("Command2")->click(); });
    EXPECT_EQ(QCoreApplication::exec(), 1);
    press_everything(form);
    ASSERT_EQ(seen.messages.size(), 1);
    EXPECT_TRUE(seen.messages[0].contains("SONA_ChannelPlay")) << seen.messages[0].toStdString();
    EXPECT_TRUE(seen.timer_stopped_first);
    EXPECT_EQ(seen.chooser_calls, 1);
    // The output it opened is released on the way out, once.
    void *fake = dlopen(modSona::LibraryFile, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(fake, nullptr);
    const std::string calls = reinterpret_cast<const char *(*)()>(dlsym(fake, "FakeSona_Log"))();
    EXPECT_EQ(calls.find("SONA_Free()"), calls.rfind("SONA_Free()")) << calls;
    EXPECT_NE(calls.find("SONA_Free()"), std::string::npos) << calls;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
