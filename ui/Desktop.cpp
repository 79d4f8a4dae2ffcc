#include "Desktop.h"

#include "Form1.h"
#include "Mpris.h"
#include "SingleInstance.h"
#include "SleepInhibitor.h"

Desktop::Desktop(Form1 *form, SingleInstance *instance, QDBusConnection session, QDBusConnection system,
                 QObject *parent)
    : QObject(parent), mpris_(new Mpris(form, session, this)),
      inhibitor_(new SleepInhibitor(session, system, this))
{
    connect(form, &Form1::playbackChanged, mpris_, &Mpris::follow);
    connect(form, &Form1::playbackChanged, inhibitor_,
            [this](const Module1::NowPlaying &, bool audible) { inhibitor_->follow(audible); });
    connect(form, &Form1::volumeChanged, mpris_, &Mpris::announce);
    // Queued: the later start waits for the call's reply, which must not
    // wait in turn for the user to read a message about its file.
    connect(instance, &SingleInstance::openRequested, form,
            [form](const QStringList &paths) {
                form->bringToFront();
                form->openFiles(paths);
            },
            Qt::QueuedConnection);
    connect(instance, &SingleInstance::activateRequested, form, &Form1::bringToFront);
}

Desktop::~Desktop() = default;
