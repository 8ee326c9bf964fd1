#pragma once
#include "ui/Form.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace brindle {

// The server settings window "サーバー設定". Confirming writes kestro.ini and updates the
// program-wide server settings at once.
class OptionForm : public Form {
    Q_OBJECT
public:
    explicit OptionForm(Windows& windows);
    void load();

    QLineEdit* SmtpText;
    QLineEdit* Pop3Text;
    QLineEdit* MailText;
    QCheckBox* ApopCheck;
    QPushButton* OkCommand;
    QPushButton* CancelCommand;

private:
    void confirm();
};

} // namespace brindle
