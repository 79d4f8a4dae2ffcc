// The window in its desktop session, against the recording fake of libsona
// and on real buses: two private dbus-daemons this test starts (a session
// bus and one standing in for the system bus), reached by playerctl and
// busctl as a desktop reaches a player, by python3-dbusmock's logind and a
// portal of our own, and by later starts of the real program.
#include "Desktop.h"
#include "Form1.h"
#include "Module1.h"
#include "SingleInstance.h"
#include "fake_calls.h"
#include "sound_server.h"
#include "test_support.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

using namespace sona_test;

namespace {

constexpr int64_t kRate = 44100;
const QString kPlayer = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kMprisPath = QStringLiteral("/org/mpris/MediaPlayer2");

/* A dbus-daemon of its own, with no services to start on demand: only what
   a test starts is there. */
class PrivateBus {
public:
    PrivateBus(const TempDir &dir, const std::string &name)
        : socket_(dir.file(name)), config_(write_file(dir.file(name + ".conf"), config(socket_))),
          daemon_({"dbus-daemon", "--nofork", "--config-file=" + config_}, {}, dir.file(name + ".log"))
    {
        eventually([&] { return std::filesystem::exists(socket_); }, 10s);
    }
    std::string address() const { return "unix:path=" + socket_; }

private:
    static std::string config(const std::string &socket)
    {
        return "<busconfig><type>session</type><listen>unix:path=" + socket +
               "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
               "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
    }
    std::string socket_, config_;
    sound::Child daemon_;
};

struct Buses {
    TempDir dir;
    PrivateBus session{dir, "session"}, system{dir, "system"};
};
Buses *buses;

/* A program run to its end with the event loop going, so that the window
   in this process answers what it asks. */
struct Ran {
    int status = -1;
    QString out;
    qint64 ms = 0;
};
Ran run(const QString &program, const QStringList &args, const QString &dir = {},
        const QStringList &env = {})
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : env)
        environment.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir);
    QElapsedTimer clock;
    clock.start();
    process.start(program, args);
    const bool ended = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000);
    Ran result;
    result.ms = clock.elapsed();
    result.out = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError()).trimmed();
    if (!ended)
        process.kill(), process.waitForFinished();
    else if (process.exitStatus() == QProcess::NormalExit)
        result.status = process.exitCode();
    return result;
}

QString playerctl(const QStringList &args)
{
    return run("playerctl", QStringList{"-p", "quadrant"} + args).out;
}

/* A call made as busctl makes it, its reply's values as busctl's JSON
   gives them, each with its D-Bus type. */
QJsonArray call(const PrivateBus &bus, const QStringList &service_path_interface_method, const QStringList &args = {})
{
    const Ran r = run("busctl", QStringList{"--address=" + QString::fromStdString(bus.address()), "--json=short",
                                            "call"} + service_path_interface_method + args);
    EXPECT_EQ(r.status, 0) << r.out.toStdString();
    return QJsonDocument::fromJson(r.out.toUtf8()).object()["data"].toArray();
}

/* The interface's properties: name -> {"type": ..., "data": ...}. */
QJsonObject getAll(const QString &interface)
{
    return call(buses->session, {"org.mpris.MediaPlayer2.quadrant", kMprisPath, "org.freedesktop.DBus.Properties",
                                 "GetAll"},
                {"s", interface})
        .at(0)
        .toObject();
}

/* Every PropertiesChanged and Seeked the player sends, seen from a
   connection of its own as any client sees them. */
class Watcher : public QObject {
    Q_OBJECT
public:
    Watcher() : bus_(QDBusConnection::connectToBus(QString::fromStdString(buses->session.address()), "watcher"))
    {
        bus_.connect({}, kMprisPath, "org.freedesktop.DBus.Properties", "PropertiesChanged", this,
                     SLOT(changed(QString, QVariantMap, QStringList)));
        bus_.connect({}, kMprisPath, kPlayer, "Seeked", this, SLOT(seeked(qlonglong)));
    }
    ~Watcher() override { QDBusConnection::disconnectFromBus("watcher"); }
    std::set<QString> keys;
    QString status;
    std::vector<qlonglong> seeks;

public slots:
    void changed(const QString &interface, const QVariantMap &properties, const QStringList &)
    {
        EXPECT_EQ(interface, kPlayer);
        for (auto it = properties.begin(); it != properties.end(); ++it)
            keys.insert(it.key());
        status = properties.value("PlaybackStatus", status).toString();
    }
    void seeked(qlonglong us) { seeks.push_back(us); }

private:
    QDBusConnection bus_;
};

/* One window with its desktop parts, as main makes them. */
class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        FAKE(FakeSona_Reset)();
        Module1::CurrentStream = 0;
        form_ = std::make_unique<Form1>(
            strict_seams(&warnings_, [](QWidget *) { return ADD_FAILURE() << "the chooser opened", QString(); }));
        FAKE(FakeSona_Reset)();
    }
    void attach(const QDBusConnection &session = QDBusConnection::sessionBus(),
                const QDBusConnection &system = QDBusConnection::systemBus())
    {
        instance_ = std::make_unique<SingleInstance>(session);
        EXPECT_FALSE(instance_->handOver({})) << "another window holds the name";
        desktop_ = std::make_unique<Desktop>(form_.get(), instance_.get(), session, system);
    }
    void click(const char *button) { form_->findChild<QPushButton *>(button)->click(); }
    std::string made() { return calls_since(&seen_); }

    std::unique_ptr<Form1> form_;
    std::unique_ptr<SingleInstance> instance_;
    std::unique_ptr<Desktop> desktop_;
    QStringList warnings_;
    size_t seen_ = 0;
};

/* Each property of each interface, with the type MPRIS gives it. */
const std::map<QString, QString> kTypes{
    {"org.mpris.MediaPlayer2", "CanQuit:b CanRaise:b HasTrackList:b Identity:s DesktopEntry:s "
                               "SupportedUriSchemes:as SupportedMimeTypes:as"},
    {"org.mpris.MediaPlayer2.Player", "PlaybackStatus:s Rate:d Metadata:a{sv} Volume:d Position:x MinimumRate:d "
                                      "MaximumRate:d CanGoNext:b CanGoPrevious:b CanPlay:b CanPause:b CanSeek:b "
                                      "CanControl:b"},
};

TEST_F(Session, ThePlayerIsListedWithEveryPropertyOfItsTypeAndTheTrackFromTheFilesTags)
{
    attach();
    EXPECT_TRUE(run("playerctl", {"-l"}).out.split('\n').contains("quadrant"));
    for (const auto &[interface, typed] : kTypes) {
        const QJsonObject all = getAll(interface);
        const QStringList properties = typed.split(' ');
        for (const QString &property : properties)
            EXPECT_EQ(all[property.section(':', 0, 0)].toObject()["type"].toString(), property.section(':', 1))
                << property.toStdString();
        EXPECT_EQ(all.size(), properties.size()) << interface.toStdString() << " has properties no row names";
    }
    const QJsonObject root = getAll("org.mpris.MediaPlayer2");
    EXPECT_EQ(root["Identity"].toObject()["data"], "Quadrant");
    EXPECT_EQ(root["DesktopEntry"].toObject()["data"], "org.quadrant.Quadrant");
    EXPECT_TRUE(root["SupportedMimeTypes"].toObject()["data"].toArray().contains("audio/flac"));

    /* Nothing to play yet: not to be shown by the desktop's panel. */
    EXPECT_EQ(playerctl({"status"}), "Stopped");
    EXPECT_FALSE(getAll(kPlayer)["CanPlay"].toObject()["data"].toBool());

    FAKE(FakeSona_SetTag)(1, "title", "Caf\xc3\xa9 au lait");
    FAKE(FakeSona_SetTag)(1, "artist", "The Fakes");
    FAKE(FakeSona_SetTag)(1, "album", "Recorded");
    FAKE(FakeSona_SetLength)(1, 271 * kRate + 441);
    form_->openFiles({"/music/one two.flac"});
    const QJsonObject metadata = getAll(kPlayer)["Metadata"].toObject()["data"].toObject();
    const std::pair<const char *, QJsonValue> expected[] = {
        {"mpris:trackid", QJsonObject{{"type", "o"}, {"data", "/org/quadrant/Quadrant/Track/1"}}},
        {"mpris:length", QJsonObject{{"type", "x"}, {"data", 271010000}}},
        {"xesam:title", QJsonObject{{"type", "s"}, {"data", "Caf\xc3\xa9 au lait"}}},
        {"xesam:artist", QJsonObject{{"type", "as"}, {"data", QJsonArray{"The Fakes"}}}},
        {"xesam:album", QJsonObject{{"type", "s"}, {"data", "Recorded"}}},
        {"xesam:url", QJsonObject{{"type", "s"}, {"data", "file:///music/one%20two.flac"}}},
    };
    for (const auto &[key, value] : expected)
        EXPECT_EQ(metadata[key], value) << key;
    EXPECT_EQ(metadata.size(), std::size(expected));

    /* Untagged: the title is the file's name. */
    form_->openFiles({"/music/bare.wav"});
    EXPECT_EQ(playerctl({"metadata", "title"}), "bare.wav");
    EXPECT_EQ(playerctl({"metadata", "xesam:url"}), "file:///music/bare.wav");
}

/* A desktop's request, the library calls it makes, the status it leaves and
   the place a seek announces. */
struct ControlRow {
    QStringList request; /* playerctl's arguments; "window Stop", "end", "slider 70": the others' */
    std::string calls;
    const char *status;
    qlonglong seeked = -1;
};

TEST_F(Session, EachRequestMakesItsExactCallsAndEveryChangeIsAnnounced)
{
    attach();
    FAKE(FakeSona_SetLength)(1, 60 * kRate);
    form_->openFiles({"/music/one.flac"});
    made();
    Watcher watcher;
    const ControlRow rows[] = {
        {{"status"}, "", "Playing"},
        {{"play-pause"}, paused(1), "Paused"},
        {{"pause"}, "", "Paused"},
        {{"play-pause"}, resumed(1), "Playing"},
        {{"play"}, "", "Playing"},
        {{"pause"}, paused(1), "Paused"},
        {{"play"}, resumed(1), "Playing"},
        /* Stop rewinds and keeps the output; play is heard from the start. */
        {{"stop"}, paused(1) + moved(1, 0), "Stopped"},
        {{"play"}, resumed(1), "Playing"},
        {{"position", "30"}, moved(1, 30 * kRate), "Playing", 30'000'000},
        {{"position", "10-"}, moved(1, 20 * kRate), "Playing", 20'000'000},
        {{"position", "1000+"}, moved(1, 60 * kRate), "Playing", 60'000'000},
        {{"next"}, "", "Playing"},
        {{"previous"}, "", "Playing"},
        {{"volume", "0.25"}, "", "Playing"},
        {{"slider 70"}, "", "Playing"},
        {{"open", "file:///music/two%20%C3%A9.ogg"}, played("/music/two \xc3\xa9.ogg", 2), "Playing"},
        /* The library's end event: Stopped, and Play starts it again. */
        {{"end"}, "", "Stopped"},
        {{"play"}, resumed(2), "Playing"},
        /* The window's Stop releases the output: nothing left to play. */
        {{"window Stop"}, "SONA_Free()\n", "Stopped"},
        {{"play"}, "", "Stopped"},
        {{"play-pause"}, "", "Stopped"},
        {{"stop"}, "", "Stopped"},
    };
    for (const ControlRow &row : rows) {
        const QString step = row.request.join(' ');
        SCOPED_TRACE(step.toStdString());
        QJsonObject before = getAll(kPlayer);
        watcher.keys.clear();
        watcher.seeks.clear();
        QElapsedTimer clock;
        clock.start();
        if (step == "end") {
            FAKE(FakeSona_PushEvent)(Module1::CurrentStream, SONA_STATE_STOPPED);
            EXPECT_TRUE(QTest::qWaitFor([&] { return watcher.status == "Stopped"; }, 200))
                << "not Stopped within 200 ms of the end";
        } else if (step == "window Stop") {
            click("Command1");
        } else if (step == "slider 70") {
            form_->setVolume(70);
        } else {
            playerctl(row.request);
        }
        EXPECT_EQ(made(), row.calls);
        EXPECT_EQ(playerctl({"status"}).toStdString(), row.status);
        /* Every property that changed was announced, and Position never. */
        QJsonObject after = getAll(kPlayer);
        QTest::qWait(50); /* the signals' way through the bus */
        for (auto it = after.begin(); it != after.end(); ++it) {
            if (it.key() != "Position" && before[it.key()] != it.value()) {
                EXPECT_TRUE(watcher.keys.count(it.key())) << it.key().toStdString() << " changed unannounced";
            }
        }
        EXPECT_FALSE(watcher.keys.count("Position"));
        EXPECT_EQ(watcher.seeks, row.seeked < 0 ? std::vector<qlonglong>{} : std::vector<qlonglong>{row.seeked});
        if (step == "volume 0.25") {
            EXPECT_EQ(form_->volume(), 25);
        }
        if (step == "slider 70") {
            EXPECT_EQ(after["Volume"].toObject()["data"].toDouble(), 0.7);
        }
    }
    EXPECT_FALSE(getAll(kPlayer)["CanPlay"].toObject()["data"].toBool()) << "CanPlay after the window's Stop";
    EXPECT_TRUE(warnings_.isEmpty()) << warnings_.join('\n').toStdString();
}

/* A later start of the installed program, from its own directory. */
struct StartRow {
    QStringList args;
    std::string calls;   /* in this window, with DIR for the caller's directory */
    bool warned = false; /* the files after the first were left out */
};

TEST_F(Session, ALaterStartHandsItsFilesToThisWindowFromItsOwnDirectoryAndEnds)
{
    attach();
    TempDir caller;
    const StartRow rows[] = {
        {{"b.flac"}, played(caller.path() + "/b.flac", 1)},
        {{"sub/../c d.flac"}, played(caller.path() + "/sub/../c d.flac", 2)},
        {{"/music/abs.flac"}, played("/music/abs.flac", 3)},
        {{"file:///music/uri%20x.flac"}, played("/music/uri x.flac", 4)},
        {{"e.flac", "f.flac"}, played(caller.path() + "/e.flac", 5), true},
        {{}, ""},
    };
    for (const StartRow &row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        form_->hide();
        warnings_.clear();
        /* With no libsona to load: a start that opened a window of its own
           would fail, not hand over. */
        const Ran r = run(QUADRANT_PROGRAM, row.args, QString::fromStdString(caller.path()),
                          {"QT_QPA_PLATFORM=offscreen", "LD_LIBRARY_PATH=" QUADRANT_NO_SONA_DIR});
        EXPECT_EQ(r.status, 0) << r.out.toStdString();
        EXPECT_LT(r.ms, 500 * kSanitizedSlower) << "the later start took too long";
        EXPECT_TRUE(QTest::qWaitFor([&] { return form_->isVisible(); }, 5000)) << "the window did not come up";
        EXPECT_EQ(made(), row.calls);
        EXPECT_EQ(warnings_.size(), row.warned ? 1 : 0);
    }
    EXPECT_EQ(playerctl({"metadata", "xesam:url"}), "file://" + QString::fromStdString(caller.path()) + "/e.flac");
}

TEST(NoSessionBus, EachStartIsAWindowOfItsOwnAndSaysNothingOfTheBus)
{
    TempDir dir;
    const std::string log = dir.file("quadrant.log");
    const std::vector<std::string> env{"DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.file("none"),
                                       "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir.file("none"),
                                       "QT_QPA_PLATFORM=offscreen", "LD_LIBRARY_PATH=" QUADRANT_FAKE_DIR};
    sound::Child first({QUADRANT_PROGRAM, "/music/a.flac"}, env, log);
    sound::Child second({QUADRANT_PROGRAM, "/music/b.flac"}, env, log);
    QTest::qWait(1500);
    EXPECT_TRUE(first.running() && second.running()) << "a start without a bus ended";
    const std::vector<uint8_t> said = read_file(log);
    EXPECT_EQ(std::string(said.begin(), said.end()), "");
}

/* The inhibitors a mock holds: the portal's flags, or logind's what and mode. */
std::vector<std::string> inhibitors(bool portal)
{
    const QJsonArray listed = portal ? call(buses->session, {"org.freedesktop.portal.Desktop",
                                                             "/org/freedesktop/portal/desktop",
                                                             "org.freedesktop.portal.Inhibit", "ListInhibitors"})
                                     : call(buses->system, {"org.freedesktop.login1", "/org/freedesktop/login1",
                                                            "org.freedesktop.login1.Manager", "ListInhibitors"});
    std::vector<std::string> held;
    for (const QJsonValue &one : listed.at(0).toArray()) {
        const QJsonArray fields = one.toArray();
        held.push_back(portal ? std::to_string(fields.at(0).toInt())
                              : (fields.at(0).toString() + " " + fields.at(3).toString()).toStdString());
    }
    return held;
}

/* Whether the mock comes to hold just `held` within a second. */
bool holds(bool portal, const std::vector<std::string> &held)
{
    return QTest::qWaitFor([&] { return inhibitors(portal) == held; }, 1000);
}

/* A python3-dbusmock service, up once its name is on its bus. */
class Mock {
public:
    Mock(const TempDir &dir, const std::string &templ, const QDBusConnection &bus, const QString &name)
        : process_({"/usr/bin/python3", "-m", "dbusmock", "--template", templ}, {}, dir.file("mock.log"))
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return bus.interface()->isServiceRegistered(name).value(); }, 20000))
            << templ << " did not start";
    }

private:
    sound::Child process_;
};

class Inhibit : public Session {
protected:
    TempDir dir_;
    std::unique_ptr<Mock> logind_ =
        std::make_unique<Mock>(dir_, "logind", QDBusConnection::systemBus(), "org.freedesktop.login1");
};

TEST_F(Inhibit, ThePortalKeepsTheMachineFromSuspendOnlyWhileSoundPlaysOneAtATime)
{
    Mock portal(dir_, QUADRANT_PORTAL_MOCK, QDBusConnection::sessionBus(), "org.freedesktop.portal.Desktop");
    attach();
    form_->openFiles({"/music/one.flac"});
    EXPECT_TRUE(holds(true, {"4"})) << "no suspend inhibitor within 1 s of sound";
    click("Command4");
    EXPECT_TRUE(holds(true, {})) << "still held 1 s after pause";
    click("Command4");
    EXPECT_TRUE(holds(true, {"4"}));
    FAKE(FakeSona_PushEvent)(1, SONA_STATE_STOPPED);
    EXPECT_TRUE(holds(true, {})) << "still held 1 s after the end";

    /* 200 Plays, each ending the one before and every other one paused at
       once: asked for and given back as fast as the window can, and never
       two at once, which the mock counts. */
    for (int i = 0; i < 200; ++i) {
        form_->openFiles({QString("/music/%1.flac").arg(i)});
        FAKE(FakeSona_PushEvent)(Module1::CurrentStream - 1, SONA_STATE_STOPPED);
        if (i % 2)
            click("Command4");
        QTest::qWait(2);
    }
    EXPECT_TRUE(holds(true, {})) << "held with the last file paused";
    EXPECT_EQ(call(buses->session, {"org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                                    "org.freedesktop.portal.Inhibit", "MaxOpen"})
                  .at(0)
                  .toInt(),
              1)
        << "two inhibitors were open at once";
    click("Command4");
    EXPECT_TRUE(holds(true, {"4"}));
    click("Command1");
    EXPECT_TRUE(holds(true, {})) << "still held 1 s after Stop";
    EXPECT_TRUE(inhibitors(false).empty()) << "logind asked while the portal answers";
}

TEST_F(Inhibit, WithoutAPortalLogindBlocksSleepWhileSoundPlays)
{
    attach();
    form_->openFiles({"/music/one.flac"});
    EXPECT_TRUE(holds(false, {"sleep block"})) << "no sleep inhibitor within 1 s of sound";
    playerctl({"pause"});
    EXPECT_TRUE(holds(false, {})) << "still held 1 s after pause";
    for (int i = 0; i < 50; ++i)
        form_->openFiles({QString("/music/%1.flac").arg(i)});
    EXPECT_TRUE(holds(false, {"sleep block"}));
    playerctl({"stop"});
    click("Command1");
    EXPECT_TRUE(holds(false, {})) << "still held 1 s after Stop";
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // CTest lists the cases with no display, and no need of buses.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // The buses before the application, whose D-Bus module reads where they
    // are once.
    Buses private_buses;
    buses = &private_buses;
    setenv("DBUS_SESSION_BUS_ADDRESS", private_buses.session.address().c_str(), 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", private_buses.system.address().c_str(), 1);
    // Qt warns of a missing one in every program it starts.
    setenv("XDG_RUNTIME_DIR", private_buses.dir.path().c_str(), 0);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

#include "test_desktop.moc"
