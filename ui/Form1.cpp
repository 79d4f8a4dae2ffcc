#include "Form1.h"

#include "Form1Layout.h"

#include "Module1.h"
#include "modSona.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRect>
#include <QShortcut>
#include <QSlider>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <optional>

namespace {

QRect placed(const Form1Layout::Place &place)
{
    using Form1Layout::pixels;
    return QRect(pixels(place.left), pixels(place.top), pixels(place.width), pixels(place.height));
}

// A label keeps its place and grows, right and down, until its whole text
// shows in the font it has: text a user must read is never cut off.
void growToFitText(QLabel *label)
{
    const QSize needed = label->sizeHint();
    label->resize(std::max(label->width(), needed.width()),
                  std::max(label->height(), needed.height()));
}

constexpr int VolumeTickMs = 100;
constexpr int VolumeMin = 0;
constexpr int VolumeMax = 100;
constexpr int VolumeStart = 30;
constexpr int VolumeSmallStep = 1;
constexpr int VolumeLargeStep = 5;

// Spaces around the number are ignored and one sign is accepted; otherwise
// only the digits 0-9, and the value must fit in 16 signed bits.  Fractions
// are refused rather than rounded: the user typed a point, not a guess.
std::optional<std::int16_t> toInt16(const QString &text)
{
    const QString trimmed = text.trimmed();
    qsizetype at = 0;
    bool negative = false;
    if (at < trimmed.size() && (trimmed[at] == u'+' || trimmed[at] == u'-')) {
        negative = trimmed[at] == u'-';
        ++at;
    }
    if (at == trimmed.size())
        return std::nullopt;
    constexpr std::int32_t limit = -std::int32_t{std::numeric_limits<std::int16_t>::min()};
    std::int32_t magnitude = 0;
    for (; at < trimmed.size(); ++at) {
        const char16_t c = trimmed[at].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > limit) // stops long digit strings before they overflow
            return std::nullopt;
    }
    const std::int32_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int16_t>::max())
        return std::nullopt;
    return static_cast<std::int16_t>(value);
}

// The paths a drag carries, or none when any of its URLs is not a local
// file: the library opens paths only, and playing half of a drop would
// leave the user guessing which half.
QStringList localFiles(const QMimeData *data)
{
    if (!data || !data->hasUrls())
        return {};
    QStringList paths;
    for (const QUrl &url : data->urls()) {
        const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
        if (path.isEmpty())
            return {};
        paths << path;
    }
    return paths;
}

// A drop is taken as a copy, or failing that a link, whatever the file
// manager proposes: a move would have it delete the file once we accept.
bool takeAsCopy(QDropEvent *event)
{
    for (const Qt::DropAction action : {Qt::CopyAction, Qt::LinkAction}) {
        if (event->possibleActions() & action) {
            event->setDropAction(action);
            event->accept();
            return true;
        }
    }
    event->ignore();
    return false;
}

QString shownName(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? QDir::toNativeSeparators(path) : name;
}

// "2:03", or "1:02:03" past the hour.
QString clock(std::int64_t us)
{
    const std::int64_t s = us / 1'000'000;
    const QChar zero(u'0');
    if (s < 3600)
        return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, zero);
    return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, zero).arg(s % 60, 2, 10, zero);
}

} // namespace

Form1::Form1(Form1Seams seams, QWidget *parent)
    : QWidget(parent), seams_(std::move(seams))
{
    if (!seams_.chooseFile)
        seams_.chooseFile = [](QWidget *owner) {
            // No title, folder or filter: the desktop's own chooser as it comes.
            return QFileDialog::getOpenFileName(owner, QString(), QString(), QString());
        };
    if (!seams_.warn)
        seams_.warn = [](QWidget *owner, const QString &text) {
            QMessageBox::warning(owner, QCoreApplication::translate("Form1", "Quadrant"), text);
        };
    if (!seams_.critical)
        seams_.critical = [](QWidget *owner, const QString &text) {
            QMessageBox::critical(owner, QCoreApplication::translate("Form1", "Quadrant"), text);
        };
    if (!seams_.exit)
        seams_.exit = [](int status) {
            // Queued, so that it also ends a loop that has not started yet:
            // the load runs before main enters exec().
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [status] { QCoreApplication::exit(status); },
                Qt::QueuedConnection);
        };

    setWindowTitle(tr("Form1"));
    resize(placed(Form1Layout::Window).size());
    createControls();
    createShortcuts();
    createTimer();
    OnWindowLoad();
}

Form1::~Form1() = default;

void Form1::createControls()
{
    Command2 = new QPushButton(tr("Play"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(placed(Form1Layout::Command2));

    Slider1 = new QSlider(Qt::Horizontal, this);
    Slider1->setObjectName(QStringLiteral("Slider1"));
    Slider1->setGeometry(placed(Form1Layout::Slider1));
    Slider1->setRange(VolumeMin, VolumeMax);
    Slider1->setValue(VolumeStart);
    Slider1->setSingleStep(VolumeSmallStep);
    Slider1->setPageStep(VolumeLargeStep);

    Command1 = new QPushButton(tr("Stop"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(placed(Form1Layout::Command1));

    Label1 = new QLabel(tr("Volume"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(placed(Form1Layout::Label1));

    Command3 = new QPushButton(tr("Balance"), this);
    Command3->setObjectName(QStringLiteral("Command3"));
    Command3->setGeometry(placed(Form1Layout::Command3));

    Command4 = new QPushButton(tr("Pause"), this);
    Command4->setObjectName(QStringLiteral("Command4"));
    Command4->setGeometry(placed(Form1Layout::Command4));

    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(placed(Form1Layout::Text1));

    Text2 = new QLineEdit(this);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setGeometry(placed(Form1Layout::Text2));

    Label2 = new QLabel(tr("X"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(placed(Form1Layout::Label2));

    Label3 = new QLabel(tr("Y"), this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(placed(Form1Layout::Label3));

    Label4 = new QLabel(this);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setGeometry(placed(Form1Layout::Label4));
    // One line, whatever the title: showWhatPlays shortens the title instead.
    Label4->setWordWrap(false);
    Label4->setMinimumHeight(Label4->sizeHint().height());

    for (QLabel *label : {Label1, Label2, Label3})
        growToFitText(label);

    // Each label names the control it stands by, for screen readers.
    Label1->setBuddy(Slider1);
    Label2->setBuddy(Text1);
    Label3->setBuddy(Text2);

    // No default button: Enter in the window presses nothing.
    for (QPushButton *button : {Command1, Command2, Command3, Command4}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    // The labels take no focus, so they drop out of the chain by themselves.
    setTabOrder(Command2, Slider1);
    setTabOrder(Slider1, Command1);
    setTabOrder(Command1, Command4);
    setTabOrder(Command4, Command3);
    setTabOrder(Command3, Text1);
    setTabOrder(Text1, Text2);
    Command2->setFocus();

    setAcceptDrops(true);

    connect(Command2, &QPushButton::clicked, this, &Form1::OnPlayClick);
    connect(Command1, &QPushButton::clicked, this, &Form1::OnStopClick);
    connect(Command3, &QPushButton::clicked, this, &Form1::OnBalanceClick);
    connect(Command4, &QPushButton::clicked, this, &Form1::OnPauseClick);
    connect(Slider1, &QSlider::valueChanged, this, &Form1::volumeChanged);
}

void Form1::createShortcuts()
{
    // Space pauses wherever the focus is in the window, a button included
    // (which Space would otherwise press); a text box takes the key first,
    // as it takes every key it types, so X and Y still get their spaces.
    auto *space = new QShortcut(QKeySequence(Qt::Key_Space), this);
    space->setContext(Qt::WindowShortcut);
    connect(space, &QShortcut::activated, this, &Form1::OnPauseClick);
}

void Form1::createTimer()
{
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(VolumeTickMs);
    connect(Timer1, &QTimer::timeout, this, &Form1::OnVolumeTimer);
    Timer1->start();
}

void Form1::setVisible(bool visible)
{
    // main shows the window after the load; a load that failed keeps it hidden
    // while the program ends.
    QWidget::setVisible(visible && !failed_);
}

// Every call into the audio library may be the first of its entry and so
// load it; a LoadError stops here, never in Qt's event loop.
template <class Work> void Form1::guarded(Work work)
{
    if (failed_)
        return;
    try {
        work();
    } catch (const modSona::LoadError &error) {
        fail(error);
    }
}

void Form1::fail(const modSona::LoadError &error)
{
    failed_ = true;
    // Stopped before the message: ticks would fail the same way while it is up.
    Timer1->stop();

    const QString library = QString::fromStdString(error.library());
    const QString reason = QString::fromStdString(error.reason());
    QString text;
    if (error.entry().empty())
        text = tr("Quadrant cannot load its audio library %1:\n%2\n\n"
                  "Quadrant will close. Install %1 in the lib folder beside Quadrant's bin "
                  "folder, then start Quadrant again.")
                   .arg(library, reason);
    else
        text = tr("Quadrant cannot use its audio library %1: the entry point %2 is missing.\n%3\n\n"
                  "Quadrant will close. Install the %1 that came with this Quadrant, then start "
                  "Quadrant again.")
                   .arg(library, QString::fromStdString(error.entry()), reason);
    seams_.critical(this, text);

    // Release the output as closing would, in case the library is there and
    // only an entry is missing; the user has already heard the one message.
    try {
        modSona::SONA_Free();
    } catch (const modSona::LoadError &) {
    }
    seams_.exit(EXIT_FAILURE);
}

void Form1::OnWindowLoad()
{
    guarded([this] {
        if (!Module1::StartOutput())
            tellWhyNoOutput();
    });
}

void Form1::OnPlayClick()
{
    if (failed_)
        return;
    const QString path = seams_.chooseFile(this);
    // A cancelled chooser leaves everything as it was, the stream that plays
    // included.  Ticks run while the chooser is open and may have failed.
    if (path.isEmpty() || failed_)
        return;
    play(path);
}

void Form1::play(const QString &path)
{
    guarded([&] {
        Module1::PlayFile(path);
        if (Module1::CurrentStream == 0)
            tellWhyNothingPlays(path);
        else
            watchEvents();
    });
    refreshPlayback();
}

void Form1::openFiles(const QStringList &paths)
{
    if (paths.isEmpty() || failed_)
        return;
    play(paths.first());
    if (paths.size() > 1 && !failed_)
        seams_.warn(this, tr("Quadrant plays one file at a time: the files given after \"%1\" were "
                             "not played.")
                              .arg(shownName(paths.first())));
}

void Form1::dragEnterEvent(QDragEnterEvent *event)
{
    dragMoveEvent(event);
}

void Form1::dragMoveEvent(QDragMoveEvent *event)
{
    // Asked on every move too: each comes with the action the file manager
    // proposes now, which a modifier key changes on the way.
    if (failed_ || localFiles(event->mimeData()).isEmpty())
        event->ignore();
    else
        takeAsCopy(event);
}

void Form1::dropEvent(QDropEvent *event)
{
    const QStringList paths = localFiles(event->mimeData());
    if (failed_ || paths.isEmpty() || !takeAsCopy(event))
        return;
    // Played once the drop has returned: the file manager waits for the drop
    // to finish, and a message about an unplayable file would hold it there.
    QMetaObject::invokeMethod(
        this, [this, paths] { playDropped(paths); }, Qt::QueuedConnection);
}

void Form1::playDropped(const QStringList &paths)
{
    // Each file as Play would: the last one becomes the current stream, and
    // each that cannot be played says why.
    for (const QString &path : paths)
        play(path);
}

void Form1::tellWhyNothingPlays(const QString &path)
{
    const QString name = shownName(path);
    QString text;
    switch (Module1::CreateError) {
    case modSona::ErrorFileOpen:
        text = tr("\"%1\" cannot be played: the file is not there or cannot be read.").arg(name);
        break;
    case modSona::ErrorFormat:
        text = tr("\"%1\" cannot be played: it is not in an audio format Quadrant supports.")
                   .arg(name);
        break;
    case modSona::ErrorInit:
    case modSona::ErrorDevice:
        text = tr("\"%1\" cannot be played: there is no audio output, because the sound device "
                  "could not be opened or Stop released it. Restart Quadrant to bring sound back.")
                   .arg(name);
        break;
    default:
        text = tr("\"%1\" cannot be played: the audio library could not open it as sound.")
                   .arg(name);
        break;
    }
    seams_.warn(this, text);
}

// Told once, as the window opens; the window stays, and Play then says
// there is no output, as after Stop.  The program's own arguments to the
// library are valid, so a refused argument is the user's SONA_OUTPUT.
void Form1::tellWhyNoOutput()
{
    const QString output = qEnvironmentVariable("SONA_OUTPUT");
    QString text;
    if (Module1::StartError == modSona::ErrorParam && !output.isEmpty())
        text = tr("Quadrant has no sound: SONA_OUTPUT names \"%1\", which is no audio output it knows; "
                  "correct or unset SONA_OUTPUT, then restart Quadrant.")
                   .arg(output);
    else
        text = tr("Quadrant has no sound: its audio output could not start (%1); restart Quadrant to "
                  "try again.")
                   .arg(QString::fromUtf8(modSona::SONA_ErrorGetText(Module1::StartError)));
    seams_.warn(this, text);
}

void Form1::OnStopClick()
{
    forgetEvents();
    guarded([] { modSona::SONA_Free(); });
    refreshPlayback();
}

void Form1::OnPauseClick()
{
    guarded([] { Module1::PauseOrResume(); });
    refreshPlayback();
}

void Form1::pauseStream()
{
    guarded([] { Module1::PauseStream(); });
    refreshPlayback();
}

void Form1::resumeStream()
{
    guarded([] { Module1::ResumeStream(); });
    refreshPlayback();
}

void Form1::stopStream()
{
    guarded([] { Module1::StopStream(); });
    refreshPlayback();
}

bool Form1::seekStream(std::int64_t us)
{
    bool moved = false;
    guarded([&] { moved = Module1::SeekStream(us); });
    refreshPlayback();
    return moved;
}

std::int64_t Form1::heardUs()
{
    std::int64_t us = now_.positionUs;
    guarded([&] { us = Module1::WhatPlays().positionUs; });
    return us;
}

int Form1::volume() const
{
    return Slider1->value();
}

void Form1::setVolume(int volume)
{
    Slider1->setValue(volume);
}

void Form1::bringToFront()
{
    if (failed_)
        return;
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

// Asked for once a stream exists: before that there is no news to wait for.
void Form1::watchEvents()
{
    if (events_)
        return;
    const int fd = modSona::SONA_EventFd();
    if (fd < 0)
        return;
    events_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(events_, &QSocketNotifier::activated, this, &Form1::takeEvents);
}

void Form1::forgetEvents()
{
    delete events_;
    events_ = nullptr;
}

void Form1::takeEvents()
{
    // Each event only says that a stream changed by itself; what the window
    // and the desktop show is asked afresh, which also covers lost events.
    guarded([] {
        while (modSona::SONA_EventNext(nullptr, nullptr)) {
        }
    });
    refreshPlayback();
}

void Form1::refreshPlayback()
{
    bool audible = false;
    guarded([&] {
        now_ = Module1::WhatPlays();
        audible = Module1::SomethingAudible();
    });
    if (failed_)
        return;
    showWhatPlays();
    emit playbackChanged(now_, audible);
}

void Form1::showWhatPlays()
{
    // setText leaves a label as it is when the text is; clear() would
    // repaint it at every tick of an idle window.
    if (!now_.live) {
        Label4->setText(QString());
        return;
    }
    QString where = clock(now_.positionUs);
    if (now_.lengthUs >= 0)
        where += QStringLiteral(" / ") + clock(now_.lengthUs);
    if (now_.status == Module1::Status::Paused)
        where += QStringLiteral("   ") + tr("Paused");
    const QString gap = QStringLiteral("   ");
    const int room = Label4->width() - Label4->fontMetrics().horizontalAdvance(gap + where);
    Label4->setText(Label4->fontMetrics().elidedText(now_.title, Qt::ElideRight, std::max(room, 0)) + gap +
                    where);
}

bool Form1::readCoordinate(QLineEdit *box, const QString &name, std::int16_t &value)
{
    const std::optional<std::int16_t> converted = toInt16(box->text());
    if (converted) {
        value = *converted;
        return true;
    }
    seams_.warn(this, tr("%1 must be a whole number from %2 to %3.")
                          .arg(name)
                          .arg(std::numeric_limits<std::int16_t>::min())
                          .arg(std::numeric_limits<std::int16_t>::max()));
    // Focus after the message, which hands it back to Balance when it closes.
    box->setFocus();
    box->selectAll();
    return false;
}

void Form1::OnBalanceClick()
{
    if (failed_)
        return;
    std::int16_t x = 0;
    std::int16_t y = 0;
    if (!readCoordinate(Text1, tr("X"), x) || !readCoordinate(Text2, tr("Y"), y))
        return;
    guarded([&] { Module1::RouteSpeakers(x, y); });
}

void Form1::OnVolumeTimer()
{
    guarded([this] { Module1::SetVolume(Slider1->value()); });
    refreshPlayback();
}

void Form1::OnWindowUnload()
{
    forgetEvents();
    guarded([] { modSona::SONA_Free(); });
}

void Form1::closeEvent(QCloseEvent *event)
{
    OnWindowUnload();
    event->accept();
}
