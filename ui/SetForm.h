#pragma once
#include "ui/Form.h"

class QCheckBox;
class QLineEdit;
class QRadioButton;
class QPushButton;

namespace brindle {

// The general settings window "設定": interval, hang-up, notice-board and new-mail choices. Its
// controls are the live settings; they reach the file when the window closes.
class SetForm : public Form {
    Q_OBJECT
public:
    explicit SetForm(Windows& windows);
    void load();
    // Writes the four keys (NUMBER, NUMBER2, NUMBER4, NUMBER5). False when the file could not be
    // written.
    bool saveSettings();

    QPushButton* Command1; // "ID/PASS"
    QPushButton* Command2; // "POPサーバー"
    QCheckBox* Check1;     // hang up after each check
    QLineEdit* Text2;      // interval in minutes
    QRadioButton* Option1; // notice board
    QRadioButton* Option2; // mail program
    QCheckBox* Check2;     // close the notice board after a second

protected:
    void unload() override;

private:
    void intervalChanged(const QString& text);
};

} // namespace brindle
