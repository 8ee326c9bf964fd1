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
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

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
    if (argc > 3 && QString::fromLatin1(argv[3]) == QLatin1String("check")) {
        // Runs one check against the configured server; every message box is photographed and
        // answered with its default button.
        int boxes = 0;
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                box->grab().save(out + QStringLiteral("/box_%1.png").arg(++boxes));
                box->defaultButton() ? box->defaultButton()->click() : box->accept();
            }
        });
        answer.start(200);
        main.Command6->click();
        answer.stop();
        shoot(&main, "main_after_check");
        if (forms::isMsgFormLoaded())
            shoot(forms::msgForm(), "msgform_after_check");
    }
    main.Command2->click();
    shoot(&main, "main_medium");
    main.Command2->click();
    main.Command13->click();
    shoot(&main, "main_small");
    return 0;
}
