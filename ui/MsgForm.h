#pragma once
#include "ui/Form.h"

class QLineEdit;

namespace brindle {

// The new-mail notice board "新着お知らせボード": one strip with the notice and the count.
class MsgForm : public Form {
    Q_OBJECT
public:
    MsgForm();
    void load();

    QLineEdit* Text1; // the notice
    QLineEdit* Text2; // the number of wanted new messages
};

// The help window "HELP": the help pages beside the program, read from local files only.
class HelpForm : public Form {
    Q_OBJECT
public:
    HelpForm();
    void load();
    QWidget* WebBrowser1;
};

} // namespace brindle
