// The keyword editor stores a keyword as the matcher compares it, JIS mapping variants folded, and
// refuses only what code page 932 cannot hold.
#include "UiTestSupport.h"

#include "keywords/KeywordFile.h"
#include "ui/GekitaiForm.h"

#include <QLineEdit>
#include <QPushButton>

using namespace brindle;
using namespace brindle::test;

class KeywordEditorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void registers_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored"); // empty: refused with a message
        const QList<std::pair<char16_t, char16_t>> variants{
            {0x301C, 0xFF5E}, {0x2212, 0xFF0D}, {0x2014, 0x2015}, {0x2016, 0x2225},
            {0x00A2, 0xFFE0}, {0x00A3, 0xFFE1}, {0x00AC, 0xFFE2}, {0x00A6, 0xFFE4}};
        for (const auto& [typed, folded] : variants)
            QTest::newRow(qPrintable(QStringLiteral("U+%1").arg(int(typed), 4, 16, QChar(u'0'))))
                << QStringLiteral(u"１%1５").arg(QChar(typed))
                << QStringLiteral(u"１%1５").arg(QChar(folded));
        QTest::newRow("emoji") << QStringLiteral("当選😀") << QString();
    }
    void registers() {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        UiFixture fx;
        GekitaiForm* f = forms::gekitaiForm();
        f->Text1->setText(typed);
        f->Command1->click();
        const QStringList records = ReadKeywords();
        QCOMPARE(records.size(), stored.isEmpty() ? 0 : 1);
        QCOMPARE(fx.boxes.asked.size(), stored.isEmpty() ? 1 : 0);
        if (!stored.isEmpty())
            QCOMPARE(records[0].trimmed(), stored); // the record pads it with blanks
    }
};

QTEST_MAIN(KeywordEditorTest)
#include "tst_keywordeditor.moc"
