#include "ui/MsgForm.h"

#include "platform/AppFolder.h"
#include "ui/UiKit.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace brindle {

MsgForm::MsgForm() {
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

HelpForm::HelpForm() {
    setObjectName(QStringLiteral("HELPForm"));
    setWindowTitle(QStringLiteral("HELP"));
    resize(twips(10905), twips(7680));
    auto* browser = new QTextBrowser(this);
    browser->setObjectName(QStringLiteral("WebBrowser1"));
    // The help pages are local files; links that lead off the machine are not followed.
    browser->setOpenExternalLinks(false);
    browser->setOpenLinks(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser);
    WebBrowser1 = browser;
    centreOnScreen(this);
}

void HelpForm::load() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    auto* browser = static_cast<QTextBrowser*>(WebBrowser1);
    const QString start = appPath(QStringLiteral("\\help\\1.htm"));
    if (QFileInfo::exists(start)) {
        browser->setSearchPaths({QFileInfo(start).absolutePath()});
        browser->setSource(QUrl::fromLocalFile(start));
    } else {
        browser->setHtml(QStringLiteral("<p>ヘルプが見つかりません。</p>"));
    }
}

} // namespace brindle
