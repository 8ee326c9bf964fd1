#pragma once
#include "platform/MessageBox.h"

#include <functional>
#include <memory>
#include <QList>
#include <QPointer>
#include <QString>
#include <QUrl>

class QMessageBox;
class QWidget;

namespace brindle {

// The window of ours a box must stand above: of the shown windows, a box already waiting first, then
// those kept above all others, then the active one, then the main window. nullptr when none is shown
// (the program in the tray).
QWidget* topmostWindow();

// Real dialogs with Japanese buttons, parented to and raised above topmostWindow(); kept above all
// others themselves when any window of ours is. While one waits, window events keep running.
class GuiMessageBoxes : public MessageBoxes {
public:
    MsgResult show(const QString& text, MsgButtons buttons, MsgIcon icon, const QString& caption) override;
    void dismissAll() override;

private:
    QList<QPointer<QMessageBox>> m_waiting; // the boxes of ours waiting for an answer, inner last
};

// The outside world the windows act on. The program makes one from realUiServices() and hands it to
// the main window, which passes it on to the windows it opens; tests hand in their own.
struct UiServices {
    // The message boxes every window asks through (tests answer with a script).
    std::shared_ptr<MessageBoxes> boxes;
    // The open-file dialog for the mail program. Returns the chosen path, or an empty text when
    // the user cancelled.
    std::function<QString(QWidget* parent, const QString& current)> chooseFile;
    // The save-file dialog, opened on the suggested file name in the user's home folder. Returns the
    // chosen path, or an empty text when the user cancelled.
    std::function<QString(QWidget* parent, const QString& suggestedName)> chooseSaveFile;
    // Starts a program by its command line without waiting; false when it could not be started.
    std::function<bool(const QString& commandLine)> startProgram;
    // Opens an address (a web page, or a local file) in the desktop's browser; false when nothing
    // could be started to show it.
    std::function<bool(const QUrl& url)> openUrl;
    // Ends dial-up connections.
    std::function<void()> hangUp;
    // Ends the run (leaves the event loop).
    std::function<void()> endRun;
};
// The real services: GuiMessageBoxes, file dialogs, the desktop's programs and browser, the network
// manager's hang-up, and the application's event loop.
UiServices realUiServices();

} // namespace brindle
