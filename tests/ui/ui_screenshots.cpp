// Not a test: renders every window into PNG files for a look at the layout.
//   ui_screenshots <application folder> <output folder>
#include "platform/AppFolder.h"
#include "ui/Dialogs.h"
#include "ui/GekitaiForm.h"
#include "ui/HelpForm.h"
#include "ui/IdPassForm.h"
#include "ui/MainForm.h"
#include "ui/MsgForm.h"
#include "ui/OptionForm.h"
#include "ui/SetForm.h"
#include "ui/UiKit.h"

#include <cstdio>
#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

using namespace brindle;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: ui_screenshots <application folder> <output folder>\n");
        return 2;
    }
    setApplicationFolder(QString::fromLocal8Bit(argv[1]));
    const QString out = QString::fromLocal8Bit(argv[2]);
    applyApplicationLook();
    uiServices().endRun = [] {};
    MainForm main;
    main.load();
    main.show();
    auto shoot = [&](QWidget* w, const char* name) {
        w->show();
        QApplication::processEvents();
        w->grab().save(out + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".png"));
    };
    main.slideTick();
    main.refreshIndicator();
    shoot(&main, "main");
    shoot(forms::setForm(), "setform");
    shoot(forms::optionForm(), "optionform");
    shoot(forms::idPassForm(), "idpassform");
    GekitaiForm* g = forms::gekitaiForm();
    g->Text1->setText(QStringLiteral("未承諾広告"));
    shoot(g, "gekitaiform");
    MsgForm* m = forms::msgForm();
    m->Text2->setText(QStringLiteral("3"));
    shoot(m, "msgform");
    shoot(forms::helpForm(), "helpform");
    main.Command2->click();
    shoot(&main, "main_medium");
    main.Command2->click();
    main.Command13->click();
    shoot(&main, "main_small");
    return 0;
}
