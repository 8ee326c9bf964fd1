#include "ui/Dialogs.h"

#include "platform/DialUp.h"
#include "platform/Process.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace brindle {

namespace {

MessageBoxes* g_override = nullptr;
QList<QPointer<QMessageBox>> g_openBoxes;

QMessageBox::Icon toQtIcon(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Question:
        return QMessageBox::Question;
    case MsgIcon::Exclamation:
        return QMessageBox::Warning;
    case MsgIcon::Critical:
        return QMessageBox::Critical;
    case MsgIcon::Information:
        return QMessageBox::Information;
    case MsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

// Dial-up lines belong to the network manager on this platform: the hang-up asks it, on the system
// bus, to take down every active dial-up connection.
void hangUpDialUp() {
    hangUpAll(QDBusConnection::systemBus());
}

UiServices makeDefaults() {
    UiServices s;
    s.chooseFile = [](QWidget* parent, const QString& current) {
        return QFileDialog::getOpenFileName(parent, QString(), current);
    };
    s.chooseSaveFile = [](QWidget* parent, const QString& suggestedName) {
        return QFileDialog::getSaveFileName(parent, QString(), QDir::home().filePath(suggestedName));
    };
    s.startProgram = [](const QString& commandLine) { return brindle::startDetached(commandLine); };
    s.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    s.hangUp = hangUpDialUp;
    s.endRun = [] { QCoreApplication::quit(); };
    return s;
}

UiServices& services() {
    static UiServices s = makeDefaults();
    return s;
}

} // namespace

MessageBoxes& messageBoxes() {
    static GuiMessageBoxes gui;
    return g_override ? *g_override : gui;
}

void setMessageBoxes(MessageBoxes* boxes) {
    g_override = boxes;
}

MsgResult GuiMessageBoxes::show(const QString& text, MsgButtons buttons, MsgIcon icon,
                                const QString& caption) {
    QMessageBox box(toQtIcon(icon), caption.isEmpty() ? applicationTitle() : caption, text);
    QAbstractButton* yes = nullptr;
    QAbstractButton* no = nullptr;
    const bool question = buttons != MsgButtons::Ok;
    if (question) {
        yes = box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::YesRole);
        no = box.addButton(QStringLiteral("いいえ(&N)"), QMessageBox::NoRole);
        box.setDefaultButton(static_cast<QPushButton*>(buttons == MsgButtons::YesNoDefaultNo ? no : yes));
        box.setEscapeButton(no);
    } else {
        QAbstractButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
        box.setDefaultButton(static_cast<QPushButton*>(ok));
        box.setEscapeButton(ok);
    }
    g_openBoxes.append(QPointer<QMessageBox>(&box));
    box.exec();
    g_openBoxes.removeAll(QPointer<QMessageBox>(&box));
    if (question)
        return box.clickedButton() == yes ? MsgResult::Yes : MsgResult::No;
    return MsgResult::Ok;
}

void GuiMessageBoxes::dismissAll() {
    const auto boxes = g_openBoxes;
    for (const QPointer<QMessageBox>& b : boxes) {
        if (b)
            b->reject();
    }
}

UiServices& uiServices() {
    return services();
}

void resetUiServices() {
    services() = makeDefaults();
}

} // namespace brindle
