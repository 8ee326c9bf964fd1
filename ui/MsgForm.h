#pragma once
#include "ui/Form.h"

class QLineEdit;
class QTextBrowser;

namespace brindle {

// The new-mail notice board "新着お知らせボード": one strip with the notice and the count.
class MsgForm : public Form {
    Q_OBJECT
public:
    explicit MsgForm(Windows& windows);
    void load();

    QLineEdit* Text1; // the notice
    QLineEdit* Text2; // the number of wanted new messages
};

// The help window "HELP": the help pages beside the program, read from local files only. Links
// between the pages are followed in the window; links that lead off the machine go to the desktop's
// browser.
class HelpForm : public Form {
    Q_OBJECT
public:
    explicit HelpForm(Windows& windows);
    void load();
    // Shows this page of the help folder ("home.htm") and brings the window up.
    void openPage(const QString& fileName);

    QTextBrowser* WebBrowser1;

private:
    void showPage(const QString& fileName);
    void followLink(const QUrl& link);
    void showContextMenu(const QPoint& at);
};

// A page of the help folder "\help" by its file name.
QString helpPagePath(const QString& fileName);

// Opens a page of the help folder in the desktop's browser; in the help window when no browser can
// be started to show it.
void openHelpPageInBrowser(const QString& fileName, Windows& windows);

} // namespace brindle
