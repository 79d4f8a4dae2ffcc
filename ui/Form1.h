// The program's only window and its start-up object: creating it opens the
// audio output (and tells the user when it cannot start), closing it
// releases the output.  Its handlers turn clicks and
// timer ticks into calls of Module1, and of SONA_Free for Stop and closing.
// It is also the one door to sound for the desktop's controls (Desktop.h):
// every call into the library goes through the window's guard.
#pragma once

#include "Module1.h"

#include <QWidget>

#include <cstdint>
#include <functional>

class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSocketNotifier;
class QTimer;

namespace modSona {
class LoadError;
}

// What the window asks of the user or of the application.  Tests put their
// own functions here; an empty one means the real thing (QFileDialog,
// QMessageBox, QCoreApplication::exit).
struct Form1Seams {
    // The chosen file, or an empty string when the user cancelled.
    std::function<QString(QWidget *parent)> chooseFile;
    std::function<void(QWidget *parent, const QString &text)> warn;
    std::function<void(QWidget *parent, const QString &text)> critical;
    // Ends the program with this status once the event loop runs.
    std::function<void(int status)> exit;
};

class Form1 : public QWidget {
    Q_OBJECT

public:
    explicit Form1(Form1Seams seams = {}, QWidget *parent = nullptr);
    ~Form1() override;

    // True once the audio library could not be loaded: the user has been
    // told, the program is ending and the window does nothing more.
    bool hasFailed() const { return failed_; }

    void setVisible(bool visible) override;

    // Files given to the program, or handed over by a later start: the
    // first plays as if chosen with Play; there is no playlist, so the
    // user is told in one line that the others were not played.
    void openFiles(const QStringList &paths);

    // The current stream as last asked of the library (on every tick, event
    // and action), and where it is heard, asked now.
    const Module1::NowPlaying &nowPlaying() const { return now_; }
    std::int64_t heardUs();

    // The slider's volume, 0..100.
    int volume() const;
    void setVolume(int volume);

public slots:
    // The desktop's player controls: each acts on CurrentStream, as the
    // Pause button does, and never on the output itself.
    void pauseStream();
    void resumeStream();
    void stopStream();
    // False, with nothing changed, for a place the stream does not have.
    bool seekStream(std::int64_t us);
    // Shows the window above the others, as a second start asks.
    void bringToFront();

signals:
    // After anything that may have changed what plays: a tick, an event of
    // the library, an action.  `audible` holds while any stream the program
    // started may be heard.
    void playbackChanged(const Module1::NowPlaying &now, bool audible);
    void volumeChanged(int volume);

protected:
    void closeEvent(QCloseEvent *event) override;
    // Files dropped from a file manager play as if each had been chosen
    // with Play, in the order they came.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void OnPlayClick();
    void OnStopClick();
    void OnPauseClick();
    void OnBalanceClick();
    void OnVolumeTimer();

private:
    void createControls();
    void createTimer();
    void createShortcuts();
    void OnWindowLoad();
    void OnWindowUnload();

    template <class Work> void guarded(Work work);
    void fail(const modSona::LoadError &error);
    void play(const QString &path);
    void playDropped(const QStringList &paths);
    void tellWhyNothingPlays(const QString &path);
    void tellWhyNoOutput();
    bool readCoordinate(QLineEdit *box, const QString &name, std::int16_t &value);
    void watchEvents();
    void forgetEvents();
    void takeEvents();
    void refreshPlayback();
    void showWhatPlays();

    Form1Seams seams_;
    bool failed_ = false;
    Module1::NowPlaying now_;
    // Readable while the library has news of a stream; the library's own
    // descriptor, so it goes before SONA_Free closes it.
    QSocketNotifier *events_ = nullptr;

    QPushButton *Command1 = nullptr; // Stop
    QPushButton *Command2 = nullptr; // Play
    QPushButton *Command3 = nullptr; // Balance
    QPushButton *Command4 = nullptr; // Pause
    QSlider *Slider1 = nullptr;
    QLineEdit *Text1 = nullptr; // X
    QLineEdit *Text2 = nullptr; // Y
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr; // what plays, and where
    QTimer *Timer1 = nullptr;
};
