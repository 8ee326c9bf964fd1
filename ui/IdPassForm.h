#pragma once
#include "ui/Form.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace brindle {

// The account window "ID,PASS": the POP3 user name and password, stored when "save" is ticked.
class IdPassForm : public Form {
    Q_OBJECT
public:
    explicit IdPassForm(Windows& windows);
    void load();

    QLineEdit* IdText;
    QLineEdit* PassText;
    QCheckBox* Check1; // store the account
    QPushButton* OKCommand;
    QPushButton* CancelCommand;

private:
    void confirm();
};

} // namespace brindle
