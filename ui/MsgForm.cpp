#include "ui/MsgForm.h"

#include "platform/AppFolder.h"
#include "ui/Dialogs.h"
#include "ui/MainForm.h"
#include "ui/UiKit.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace brindle {

MsgForm::MsgForm(Windows& windows) : Form(windows) {
    setObjectName(QStringLiteral("MsgForm"));
    setWindowTitle(QStringLiteral("新着お知らせボード"));
    setFixedSize(twips(3600), twips(255));
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    Text1 = makeLineEdit(this, "Text1", twipsRect(0, 0, 3135, 270));
    Text1->setText(QStringLiteral("新着メールがあります。"));
    Text1->setAlignment(Qt::AlignCenter);
    Text1->setReadOnly(true);
    Text1->setStyleSheet(
        QStringLiteral("QLineEdit{padding:0px;border:none;background:rgb(0,0,255);color:white;}"));
    Text2 = makeLineEdit(this, "Text2", twipsRect(3120, 0, 495, 270));
    Text2->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Text2->setReadOnly(true);
    Text2->setStyleSheet(QStringLiteral("QLineEdit{padding:0px 2px;border:none;}"));
    centreOnScreen(this);
}

void MsgForm::load() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
}

namespace {

const QString kStartPage = QStringLiteral("1.htm");
// HELP may be narrowed to fit beside the main window, down to this width (pixels), at which the
// pages still read well; below it, it opens over the main window at its full size.
constexpr int kNarrowestHelp = 400;

} // namespace

QString helpPagePath(const QString& fileName) {
    return dataFilePath(QStringLiteral("\\help\\") + fileName);
}

void openHelpPageInBrowser(const QString& fileName, Windows& windows) {
    const QString page = helpPagePath(fileName);
    // A missing page is told in the help window, not by a browser's error page.
    if (QFileInfo(page).isFile() && windows.services().openUrl(QUrl::fromLocalFile(page)))
        return;
    windows.helpForm()->openPage(fileName);
}

HelpForm::HelpForm(Windows& windows) : Form(windows) {
    setObjectName(QStringLiteral("HELPForm"));
    setWindowTitle(QStringLiteral("HELP"));
    resize(twips(10905), twips(7680));
    WebBrowser1 = new QTextBrowser(this);
    WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    // Every link comes here first: the help folder's pages open in the window, addresses off the
    // machine in the desktop's browser.
    WebBrowser1->setOpenLinks(false);
    WebBrowser1->setOpenExternalLinks(false);
    WebBrowser1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(WebBrowser1, &QTextBrowser::anchorClicked, this, &HelpForm::followLink);
    connect(WebBrowser1, &QWidget::customContextMenuRequested, this, &HelpForm::showContextMenu);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(WebBrowser1);
    // Beside the main window, which it would otherwise hide.
    placeBeside(this, &windows.main(), kNarrowestHelp);
}

void HelpForm::load() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    showPage(kStartPage);
}

void HelpForm::openPage(const QString& fileName) {
    showPage(fileName);
    show();
    raise();
    activateWindow();
}

void HelpForm::showPage(const QString& fileName) {
    const QString page = helpPagePath(fileName);
    if (QFileInfo(page).isFile()) {
        WebBrowser1->setSearchPaths({QFileInfo(page).absolutePath()});
        WebBrowser1->setSource(QUrl::fromLocalFile(page));
    } else {
        WebBrowser1->setHtml(QStringLiteral("<p>ヘルプのページが見つかりません。</p><p>%1</p>")
                                 .arg(QDir::toNativeSeparators(page).toHtmlEscaped()));
    }
}

void HelpForm::followLink(const QUrl& link) {
    const QUrl url = WebBrowser1->source().resolved(link);
    if (url.isLocalFile()) {
        if (QFileInfo(url.toLocalFile()).isFile())
            WebBrowser1->setSource(url);
    } else if (!url.isRelative()) {
        windows().services().openUrl(url); // http, https, mailto
    }
}

void HelpForm::showContextMenu(const QPoint& at) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("戻る"), WebBrowser1, &QTextBrowser::backward)
        ->setEnabled(WebBrowser1->isBackwardAvailable());
    menu->addAction(QStringLiteral("進む"), WebBrowser1, &QTextBrowser::forward)
        ->setEnabled(WebBrowser1->isForwardAvailable());
    menu->addAction(QStringLiteral("目次"), this, [this] { showPage(kStartPage); });
    menu->addSeparator();
    menu->addAction(QStringLiteral("コピー"), WebBrowser1, &QTextBrowser::copy)
        ->setEnabled(WebBrowser1->textCursor().hasSelection());
    menu->addAction(QStringLiteral("すべて選択"), WebBrowser1, &QTextBrowser::selectAll);
    menu->popup(WebBrowser1->viewport()->mapToGlobal(at));
}

} // namespace brindle
