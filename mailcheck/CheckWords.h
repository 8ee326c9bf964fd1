#pragma once
// The Japanese words the check itself relies on: those stored in the files it writes and reads
// (the rule words of the deletion log, the pending deletions and the verdict memory), the hiragana
// the rules look for, and the folder names of the application folder. Every other Japanese text is
// a sentence for the user, and those are built by the windows and brindle-check from typed values.
#include <QStringView>

namespace brindle {

// The words a caught message is announced with, and logged under.
namespace RuleWord {
inline constexpr char16_t Subject[] = u"件名";
inline constexpr char16_t Address[] = u"アドレス";
inline constexpr char16_t Body[] = u"本文";
inline constexpr char16_t HtmlUpper[] = u"HTML";
inline constexpr char16_t HtmlLower[] = u"html";
inline constexpr char16_t Size[] = u"ファイルサイズ";
inline constexpr char16_t Hiragana[] = u"ひらがな";
inline constexpr char16_t Learned[] = u"学習";          // the learned judgement
inline constexpr char16_t MarkedJunk[] = u"迷惑メール"; // marked junk by the user in the preview
} // namespace RuleWord

// The plain hiragana, in the order they are tried. Voiced, half-voiced and small forms are not in it.
inline constexpr char16_t kHiraganaTable[] = u"あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほ"
                                             u"まみむめもやゆよらりるれろわんを";

// The folder of the size rule's work file, in the application folder.
inline constexpr char16_t kProbeFolderPath[] = u"\\添付フォルダ";

} // namespace brindle
