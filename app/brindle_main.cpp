// brindle: the desktop program.
#include "ambience/MediaPlayerDevice.h"
#include "platform/AppFolder.h"
#include "ui/MainForm.h"
#include "ui/StartupTrace.h"
#include "ui/UiKit.h"

#include <QApplication>

int main(int argc, char** argv) {
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
    // the first start from the installation's files.
    brindle::prepareApplicationFolder();

    // The music device outlives the main window, whose monitor talks to it.
    brindle::MediaPlayerDevice music;
    brindle::MainForm main(brindle::nmail(), &music);
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
