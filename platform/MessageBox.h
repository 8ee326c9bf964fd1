#pragma once
#include <QString>

namespace brindle {

// YesNoDefaultNo: a question whose safe answer is No (trusting a certificate, sending a password in
// clear), so that Enter does not say yes.
enum class MsgButtons { Ok, YesNo, YesNoDefaultNo };
enum class MsgIcon { None, Question, Exclamation, Critical, Information };
enum class MsgResult { Ok, Yes, No };

// The one way the program asks the user something. The windows answer with real dialogs; tests
// answer with a script and keep a record of what was asked.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // An empty caption means the application's title.
    virtual MsgResult show(const QString& text, MsgButtons buttons, MsgIcon icon, const QString& caption) = 0;
    // Closes every box still waiting for an answer, as if the user had dismissed it (the program
    // ends while one is open). Boxes that answer at once have none waiting.
    virtual void dismissAll() {}
};

// The application's title, used as the caption of message boxes without one of their own.
QString applicationTitle();

} // namespace brindle
