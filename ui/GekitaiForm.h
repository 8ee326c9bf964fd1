#pragma once
#include "ui/Form.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTextEdit;

namespace brindle {

// The keyword editor "Spam/迷惑メール撃退": lists the repel keywords, registers and deletes them.
class GekitaiForm : public Form {
    Q_OBJECT
public:
    explicit GekitaiForm(Windows& windows);
    void load();

    QLineEdit* Text1;      // new keyword
    QPushButton* Command1; // "登録"
    QPushButton* Command2; // "削除"
    QPushButton* Command3; // "許可リスト": the senders no rule deletes
    QListWidget* List1;
    QTextEdit* Text2; // hint box
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3; // what the allow list is for

    static const QString kHintRegister;
    static const QString kHintEntry;
    static const QString kHintDelete;

protected:
    QString hintFor(const QWidget* w) const;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* e) override;

private:
    void loadKeywordList();
    void registerKeyword();
    void deleteKeyword();
    void showHint(const QString& text);
};

} // namespace brindle
