// The program's only window and its start-up object: creating it opens the
// audio output, closing it releases the output.  Its handlers turn clicks and
// timer ticks into calls of Module1, and of SONA_Free for Stop and closing.
#pragma once

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
    void OnBalanceClick();
    void OnVolumeTimer();

private:
    void createControls();
    void createTimer();
    void OnWindowLoad();
    void OnWindowUnload();

    template <class Work> void guarded(Work work);
    void fail(const modSona::LoadError &error);
    void play(const QString &path);
    void playDropped(const QStringList &paths);
    void tellWhyNothingPlays(const QString &path);
    bool readCoordinate(QLineEdit *box, const QString &name, std::int16_t &value);

    Form1Seams seams_;
    bool failed_ = false;

    QPushButton *Command1 = nullptr; // Stop
    QPushButton *Command2 = nullptr; // Play
    QPushButton *Command3 = nullptr; // Balance
    QSlider *Slider1 = nullptr;
    QLineEdit *Text1 = nullptr; // X
    QLineEdit *Text2 = nullptr; // Y
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QTimer *Timer1 = nullptr;
};
