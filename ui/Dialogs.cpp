#include "ui/Dialogs.h"

#include "platform/DialUp.h"
#include "platform/Process.h"
#include "ui/MainForm.h"

#include <algorithm>
#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

namespace brindle {

namespace {

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

} // namespace

UiServices realUiServices() {
    UiServices s;
    s.boxes = std::make_shared<GuiMessageBoxes>();
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

namespace {

// What a window manager's title bar takes besides the title: the window's icon and the three
// buttons with their margins. A box narrower than its title plus this shows no title at all.
constexpr int kTitleBarRoomPx = 120;

QList<QWidget*> shownWindows() {
    QList<QWidget*> out;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        const Qt::WindowType type = w->windowType();
        if (w->isVisible() && !w->isMinimized() && (type == Qt::Window || type == Qt::Dialog))
            out.append(w);
    }
    return out;
}

} // namespace

QWidget* topmostWindow() {
    QWidget* best = nullptr;
    int bestRank = -1;
    for (QWidget* w : shownWindows()) {
        const int rank = (w == QApplication::activeModalWidget() ? 8 : 0) +
                         (w->windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? 4 : 0) +
                         (w->isActiveWindow() ? 2 : 0) + (qobject_cast<MainForm*>(w) ? 1 : 0);
        if (rank > bestRank) {
            best = w;
            bestRank = rank;
        }
    }
    return best;
}

MsgResult GuiMessageBoxes::show(const QString& text, MsgButtons buttons, MsgIcon icon,
                                const QString& caption) {
    QWidget* parent = topmostWindow();
    QMessageBox box(toQtIcon(icon), caption.isEmpty() ? applicationTitle() : caption, text,
                    QMessageBox::NoButton, parent);
    // Beneath a window kept on top, a box that blocks every window would leave nothing to click.
    const QList<QWidget*> shown = shownWindows();
    if (std::any_of(shown.begin(), shown.end(),
                    [](QWidget* w) { return w->windowFlags().testFlag(Qt::WindowStaysOnTopHint); }))
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int room = box.fontMetrics().horizontalAdvance(box.windowTitle()) + kTitleBarRoomPx;
        grid->addItem(new QSpacerItem(room, 0), grid->rowCount(), 0, 1, grid->columnCount());
    }
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
    m_waiting.append(QPointer<QMessageBox>(&box));
    QTimer::singleShot(0, &box, [&box] {
        box.raise();
        box.activateWindow();
    });
    box.exec();
    m_waiting.removeAll(QPointer<QMessageBox>(&box));
    if (question)
        return box.clickedButton() == yes ? MsgResult::Yes : MsgResult::No;
    return MsgResult::Ok;
}

void GuiMessageBoxes::dismissAll() {
    const auto waiting = m_waiting;
    for (const QPointer<QMessageBox>& b : waiting) {
        if (b)
            b->reject();
    }
}

} // namespace brindle
