#pragma once
#include "ui/Form.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace brindle {

// The allow list editor "許可リスト": the senders and domains whose mail no rule deletes. Laid out
// like the keyword editor: the entry box with "登録" and "削除", the list below.
class AllowListForm : public Form {
    Q_OBJECT
public:
    explicit AllowListForm(Windows& windows);
    void load();

    QLineEdit* Text1;      // the new entry
    QPushButton* Command1; // "登録"
    QPushButton* Command2; // "削除"
    QListWidget* List1;
    QLabel* Label1;

private:
    void registerEntry();
    void deleteEntry();
    void tellWriteFailure();
};

} // namespace brindle
