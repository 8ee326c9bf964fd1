// brindle: the desktop program.
#include "ambience/MediaPlayerDevice.h"
#include "mailcheck/NMail.h"
#include "platform/AppFolder.h"
#include "ui/Dialogs.h"
#include "ui/MainForm.h"
#include "ui/StartupTrace.h"
#include "ui/UiKit.h"

#include <cstdio>
#include <cstring>
#include <QApplication>

namespace {

const char kUsage[] =
    "Usage: brindle [--tray]\n"
    "       brindle --help | --version\n"
    "\n"
    "Deletes junk mail on a POP3 server by the rule chosen in its window (迷惑メール撃退ツール).\n"
    "\n"
    "  --tray      start with the main window in the tray (the login start)\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Settings and records: ~/.local/share/Brindle, or the program's own folder when it holds a\n"
    "writable ★MailData. See brindle(1) and brindle-check(1).\n";

// 0 when the text reached standard output, else 1 (a closed or full output).
int print(const char* text) {
    return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
}

// --help and --version are answered before anything else starts: no display is needed, and no
// window, folder or music is made. -1: neither was asked for, the program starts.
int answerWithoutStarting(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return print(kUsage);
        if (std::strcmp(argv[i], "--version") == 0)
            return print("brindle " BRINDLE_VERSION "\n");
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (const int answered = answerWithoutStarting(argc, argv); answered >= 0)
        return answered;
    brindle::markStartup();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brindle"));
    QGuiApplication::setDesktopFileName(QStringLiteral("jp.brindle.Brindle"));
    // The program ends through the main window's own shut-down, not when its last window closes
    // (the main window hides in the tray).
    QApplication::setQuitOnLastWindowClosed(false);
    brindle::installJapaneseQtTexts(app);
    brindle::applyApplicationLook();

    // The application folder: beside the program for a portable copy, else the user's own, made on
    // the first start (the help, pictures and music are read from the installation's data folder).
    brindle::prepareApplicationFolder();

    // The music device outlives the main window, whose monitor talks to it.
    brindle::MediaPlayerDevice music;
    // The mail library every check of the windows uses.
    brindle::NMailLibrary library;
    // The boxes, dialogs, programs and hang-up the windows act through; they outlive every window.
    const brindle::UiServices services = brindle::realUiServices();
    brindle::MainForm main(library, services, &music);
    // Loading also starts the background music, unless the user switched it off.
    main.load();
    // --tray (the login start): straight into the tray, or minimized where there is no tray.
    if (QCoreApplication::arguments().contains(QStringLiteral("--tray")))
        main.goToTray();
    else
        main.show();
    // The desktop session ending takes the program down like its own "終了": settings are saved.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &main, [&main] { main.requestExit(); });
    return app.exec();
}
