// Every help page is reached, every link resolves; the home page button and links go where they should.
#include "ui/MsgForm.h"
#include "UiTestSupport.h"
#include <QRegularExpression>
#include <QTextBrowser>

using namespace brindle;

const QDir kHelp(QStringLiteral(BRINDLE_HELP_DIR));

// Link followed (none: home page button); browser starts; what it is asked; what help shows.
const std::tuple<const char*, QString, bool, QString, QString> kClicks[] = {
    {"home page, a browser", "", true, "home.htm", ""},
    {"home page, no browser", "", false, "home.htm", "home.htm"},
    {"help, a page's place", "rules.htm#size", true, "", "rules.htm#size"},
    {"help, the web", "https://www.debian.org/", false, "https://www.debian.org/", "1.htm"},
};

class TestHelp : public QObject {
    Q_OBJECT
    static QString read(const QString& p) { return QString::fromUtf8(testing::readFile(kHelp.filePath(p))); }
private Q_SLOTS:
    void links() {
        const QRegularExpression link(QStringLiteral("\\b(?:href|src)=\"([^\"]*)\"")),
            placeholder(QStringLiteral("(^|\\.)example\\.(org|com|net)$"));
        QStringList reached{QStringLiteral("1.htm")};
        for (qsizetype i = 0; i < reached.size(); ++i) {
            for (const QRegularExpressionMatch& m : link.globalMatch(read(reached[i]))) {
                const QUrl url(m.captured(1));
                const QString target = url.path().isEmpty() ? reached[i] : url.path();
                const QString host = url.scheme() == u"mailto" ? url.path().section(u'@', 1) : url.host();
                const QRegularExpression anchor(QStringLiteral("\\b(id|name)=\"%1\"").arg(url.fragment()));
                QVERIFY2(url.isRelative() ? m.captured(1).remove(u'#').size() && kHelp.exists(target) &&
                                                (!url.hasFragment() || read(target).contains(anchor))
                                          : !host.isEmpty() && !placeholder.match(host).hasMatch(),
                         qPrintable(reached[i] + u' ' + m.captured(1)));
                if (url.isRelative() && target.endsWith(QStringLiteral(".htm")) && !reached.contains(target))
                    reached << target;
            }
        }
        reached.sort();
        QCOMPARE(reached, kHelp.entryList({QStringLiteral("*.htm")}, QDir::Files));
        QVERIFY(read(QStringLiteral("home.htm")).contains(QStringLiteral("<b>Ver " BRINDLE_VERSION "</b>")));
    }
    void clicks_data() { test::indexRows(kClicks); }
    void clicks() {
        QFETCH(int, row);
        const auto& [name, link, browserStarts, asked, shown] = kClicks[row];
        test::UiFixture fx;
        QVERIFY(QFile::link(kHelp.path(), fx.dir.path(QStringLiteral("help"))));
        MainForm& main = fx.start();
        QList<QUrl> urls;
        fx.services.openUrl = [&, starts = browserStarts](const QUrl& url) { return urls << url, starts; };
        test::control<QPushButton>(main, link.isEmpty() ? "Command3" : "Command11")->click();
        if (!link.isEmpty())
            Q_EMIT main.windows().helpForm()->WebBrowser1->anchorClicked(QUrl(link));
        const QUrl help = QUrl::fromLocalFile(fx.dir.path(QStringLiteral("help/")));
        QCOMPARE(urls, asked.isEmpty() ? QList<QUrl>() : QList<QUrl>{help.resolved(QUrl(asked))});
        QCOMPARE(main.windows().isHelpFormLoaded() ? main.windows().helpForm()->WebBrowser1->source()
                                                   : QUrl(),
                 shown.isEmpty() ? QUrl() : help.resolved(QUrl(shown)));
    }
};

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
