#include "tools/corpus/Corpus.h"

#include "platform/Cp932.h"

#include <array>
#include <QDateTime>
#include <QRandomGenerator>
#include <QStringList>

namespace brindle::corpus {

namespace {

struct Brand {
    const char16_t* name;
    const char* domain;
    const char16_t* kind; // card, bank, shop, carrier, delivery, tax
};

const Brand kBrands[] = {
    {u"三井住友カード", "smbc-card.com", u"card"},
    {u"楽天カード", "rakuten-card.co.jp", u"card"},
    {u"JCB", "jcb.co.jp", u"card"},
    {u"エポスカード", "eposcard.co.jp", u"card"},
    {u"イオンカード", "aeon.co.jp", u"card"},
    {u"三菱UFJ銀行", "bk.mufg.jp", u"bank"},
    {u"みずほ銀行", "mizuhobank.co.jp", u"bank"},
    {u"ゆうちょ銀行", "jp-bank.japanpost.jp", u"bank"},
    {u"SBI証券", "sbisec.co.jp", u"bank"},
    {u"Amazon", "amazon.co.jp", u"shop"},
    {u"楽天市場", "rakuten.co.jp", u"shop"},
    {u"メルカリ", "mercari.jp", u"shop"},
    {u"ドコモ", "docomo.ne.jp", u"carrier"},
    {u"au", "au.com", u"carrier"},
    {u"ソフトバンク", "softbank.jp", u"carrier"},
    {u"ヤマト運輸", "kuronekoyamato.co.jp", u"delivery"},
    {u"佐川急便", "sagawa-exp.co.jp", u"delivery"},
    {u"日本郵便", "post.japanpost.jp", u"delivery"},
    {u"国税庁", "nta.go.jp", u"tax"},
    {u"東京電力", "tepco.co.jp", u"tax"},
};

const char* const kCheapTlds[] = {"cn", "top", "xyz", "icu", "shop", "cfd", "sbs", "buzz", "cyou", "vip"};
const char* const kFreeMail[] = {"gmail.com", "yahoo.co.jp", "outlook.jp", "icloud.com"};
const char* const kWords[] = {"secure", "login",  "verify",  "account", "update",
                              "info",   "member", "support", "auth"};

const char16_t* const kJunkSubjects[] = {
    u"【重要】{b}ご利用確認のお願い",
    u"【{b}】アカウント使用停止のお知らせ",
    u"【緊急】お客様の{b}アカウントが一時停止されました",
    u"{b}：お支払い方法の更新が必要です",
    u"【{b}】不正利用の可能性がある取引を検知しました",
    u"【{b}】本人確認手続きのお願い（期限：本日中）",
    u"{b}からの重要なお知らせ",
    u"【{b}】ご登録情報の確認",
    u"【最終通知】{b}未払い料金のお支払いについて",
    u"{b}ポイントの有効期限が近づいています",
    u"お荷物のお届けについて【{b}】",
    u"【{b}】セキュリティ強化のお知らせ",
};
const char16_t* const kJunkLines[] = {
    u"いつも{b}をご利用いただき、誠にありがとうございます。",
    u"お客様のアカウントに第三者による不正なアクセスが検出されました。",
    u"24時間以内にご確認いただけない場合、アカウントのご利用を制限させていただきます。",
    u"以下のリンクより本人確認を行ってください。",
    u"カードのご利用を一時的に停止しております。",
    u"お荷物のお届けにあがりましたが、宛先不明のため持ち帰りました。",
    u"未払いの税金があります。差し押さえの前に納付手続きを行ってください。",
    u"ご登録のお支払い方法に問題が発生しました。",
    u"セキュリティ保護のため、ログイン情報の再確認をお願いいたします。",
    u"ご対応いただけない場合、サービスを停止いたします。",
    u"※本メールは送信専用のため、ご返信いただいてもお答えできません。",
    u"お手数ですが、下記URLよりご確認ください。",
    u"ポイントが失効する前に、お手続きをお願いいたします。",
    u"当社では、お客様の安全を最優先に考えております。",
    u"ご不便をおかけいたしますが、何卒ご理解いただけますようお願い申し上げます。",
};
const char16_t* const kEnJunkSubjects[] = {
    u"Your {b} account has been suspended",
    u"Action required: verify your payment information",
    u"Unusual sign-in activity on your {b} account",
    u"Final notice: your {b} subscription could not be renewed",
    u"Your package could not be delivered",
    u"{b} security alert: confirm your identity",
};
const char16_t* const kEnJunkLines[] = {
    u"We noticed unusual activity on your account and have temporarily limited access.",
    u"Please verify your information within 24 hours to avoid permanent suspension.",
    u"Click the link below to confirm your identity.",
    u"Your payment method was declined. Update your billing details now.",
    u"We were unable to deliver your package because of an incomplete address.",
    u"If you do not respond, your account will be closed.",
    u"Thank you for being a valued customer.",
};
const char16_t* const kEnBrands[] = {u"PayPal", u"Apple",  u"Netflix", u"Microsoft",
                                     u"DHL",    u"Amazon", u"Chase"};

// Wanted mail, Japanese.
const char16_t* const kReceiptSubjects[] = {
    u"{b} ご注文の確認",       u"【{b}】ご注文ありがとうございます",
    u"{b}：発送のお知らせ",    u"【{b}】カードご利用のお知らせ",
    u"{b} ご利用明細のご案内", u"【{b}】ポイント獲得のお知らせ",
};
const char16_t* const kReceiptLines[] = {
    u"ご注文ありがとうございます。以下の内容でご注文を承りました。",
    u"ご注文番号：{n}",
    u"お届け予定日：{d}",
    u"商品は配送業者にお渡ししました。お届けまでしばらくお待ちください。",
    u"カードのご利用がありましたのでお知らせいたします。ご利用金額：{n}円",
    u"今月のご利用明細が確定しました。会員ページからご確認いただけます。",
    u"このメールは配信専用です。お問い合わせはヘルプページをご覧ください。",
    u"今後とも{b}をよろしくお願いいたします。",
    u"ご利用いただきありがとうございます。",
};
const char16_t* const kPersonalSubjects[] = {
    u"今度の週末",     u"先日はありがとう", u"写真送ります",   u"Re: 来月の旅行",
    u"お久しぶりです", u"引っ越しました",   u"Re: 同窓会の件",
};
const char16_t* const kPersonalLines[] = {
    u"今度の週末、空いてる？久しぶりにご飯でも行こうよ。",
    u"先日はありがとうございました。とても楽しかったです。",
    u"写真を何枚か送ります。よく撮れていると思う。",
    u"旅行の件だけど、宿は駅の近くにしようか。",
    u"子どもたちも元気にしています。また遊びに来てね。",
    u"新しい住所をお知らせします。近くに来たら寄ってください。",
    u"返事が遅くなってごめんね。来週なら大丈夫だよ。",
    u"お母さんが野菜を送ってくれたので、少しおすそ分けします。",
};
const char16_t* const kWorkSubjects[] = {
    u"会議の件",
    u"資料を共有します",
    u"Re: 来週の打ち合わせ",
    u"議事録（{d}）",
    u"見積書送付のご連絡",
    u"Re: 仕様の確認",
    u"【社内】システムメンテナンスのお知らせ",
};
const char16_t* const kWorkLines[] = {
    u"お疲れ様です。明日の会議の資料を添付します。",
    u"来週の打ち合わせは火曜日の午後でいかがでしょうか。",
    u"本日の議事録を共有いたします。ご確認をお願いします。",
    u"見積書をお送りいたします。ご検討のほどよろしくお願いいたします。",
    u"仕様について一点確認させてください。",
    u"システムメンテナンスのため、土曜日の夜間はログインできません。",
    u"パスワードの定期変更をお願いします。社内ポータルから手続きできます。",
    u"引き続きよろしくお願いいたします。",
};
const char16_t* const kNewsSubjects[] = {
    u"今週のおすすめ情報",   u"【メルマガ】{b}ニュース 第{n}号", u"週末限定セールのご案内",
    u"新着レシピのお知らせ", u"【{b}】会員限定キャンペーン",
};
const char16_t* const kNewsLines[] = {
    u"今週のおすすめ商品をご紹介します。",
    u"週末限定で全品10％オフのセールを開催中です。",
    u"新しいレシピを公開しました。季節の野菜を使った簡単メニューです。",
    u"配信停止はこちらから手続きできます。",
    u"会員の皆様だけの特別なキャンペーンです。",
    u"イベントの詳細はウェブサイトをご覧ください。",
};
const char16_t* const kListSubjects[] = {
    u"[dev-ja:{n}] Re: ビルドが失敗する件",
    u"[users:{n}] 設定ファイルの書き方について",
    u"[announce] リリース 2.{n} のお知らせ",
    u"[kernel-ja:{n}] パッチのレビューのお願い",
};
const char16_t* const kListLines[] = {
    u"手元の環境では再現しませんでした。ログを貼っていただけますか。",
    u"このパッチで直るはずです。確認をお願いします。",
    u"設定ファイルの例はドキュメントにあります。",
    u"次のリリースではこの問題は修正されています。",
    u"> ビルドが失敗します\n依存パッケージが足りないのかもしれません。",
};
const char16_t* const kEnWantedSubjects[] = {
    u"Weekly digest: 12 new posts",     u"Re: lunch on Friday?", u"[announce] Release 3.{n} is out",
    u"Your order has shipped",          u"Meeting notes {d}",    u"Re: [users] config question",
    u"Your monthly statement is ready",
};
const char16_t* const kEnWantedLines[] = {
    u"Here are the notes from today's meeting.",
    u"Thanks for your order. It will arrive on {d}.",
    u"Are you free for lunch on Friday?",
    u"This release fixes several bugs and improves performance.",
    u"You can unsubscribe at any time from your settings page.",
    u"I tried that and it works for me now, thanks!",
    u"Your statement is available in your online account.",
    u"Let me know what you think.",
};

// Real services' own security notices: they share phishing's words, and are wanted.
const char16_t* const kNoticeSubjects[] = {
    u"【{b}】ログインのお知らせ",           u"【{b}】パスワード変更完了のお知らせ",
    u"【{b}】ご登録情報変更のお知らせ",     u"【重要】{b}ご利用確認のお願い",
    u"【{b}】本人確認手続き完了のお知らせ", u"{b}：お支払い方法の更新が完了しました",
};
const char16_t* const kNoticeLines[] = {
    u"いつも{b}をご利用いただき、誠にありがとうございます。",
    u"お客様のアカウントに新しい端末からログインがありました。",
    u"お心当たりがない場合は、パスワードを変更してください。",
    u"パスワードの変更が完了しました。",
    u"ご登録情報の変更を承りました。",
    u"セキュリティ保護のため、定期的なパスワードの変更をおすすめします。",
    u"※本メールは送信専用のため、ご返信いただいてもお答えできません。",
    u"ご不明な点は、会員ページのお問い合わせ窓口までご連絡ください。",
};
// Sentences any mail may carry.
const char16_t* const kFiller[] = {
    u"よろしくお願いいたします。",
    u"ご確認ください。",
    u"詳細は以下をご覧ください。",
    u"本日は晴天なり。",
    u"季節の変わり目ですので、ご自愛ください。",
    u"何かあればご連絡ください。",
    u"お手数をおかけします。",
    u"Thank you.",
    u"Please see below for details.",
    u"Best regards,",
};

class Composer {
public:
    explicit Composer(quint32 seed) : m_rng(seed) {}

    int below(int n) { return int(m_rng.bounded(n)); }
    bool chance(double p) { return m_rng.generateDouble() < p; }
    template <typename T, std::size_t N> const T& pick(const T (&list)[N]) {
        return list[m_rng.bounded(int(N))];
    }
    template <typename T, std::size_t N> T pick(const std::array<T, N>& list) {
        return list[m_rng.bounded(int(N))];
    }

    QString fill(QString text, const QString& brand) {
        text.replace(u"{b}"_qs, brand);
        text.replace(u"{n}"_qs, QString::number(1000 + below(90000)));
        text.replace(u"{d}"_qs, QStringLiteral("%1月%2日").arg(1 + below(12)).arg(1 + below(28)));
        return text;
    }

    // Invisible characters put inside words, as one live campaign does.
    QString disguise(const QString& text) {
        static const char16_t invisibles[] = {0x2061, 0x2062, 0x2063, 0x2064, 0x200B,
                                              0x200C, 0x200D, 0xFE09, 0x00AD};
        QString out;
        for (QChar c : text) {
            out += c;
            if (c.unicode() > 0x3000 && chance(0.15))
                out += QChar(pick(invisibles));
        }
        return out;
    }

    QString lines(const char16_t* const* list, std::size_t size, int count, const QString& brand) {
        QStringList out;
        for (int i = 0; i < count; ++i)
            out << fill(QString::fromUtf16(list[m_rng.bounded(int(size))]), brand);
        return out.join(u'\n');
    }

    QString cheapDomain() {
        return QStringLiteral("%1-%2%3.%4")
            .arg(QLatin1String(pick(kWords)))
            .arg(QLatin1String(pick(kWords)))
            .arg(below(100))
            .arg(QLatin1String(pick(kCheapTlds)));
    }
    QString lookalike(const QString& domain) {
        QString d = domain;
        d.replace(u'.', u'-');
        return QStringLiteral("%1-%2.com").arg(d, QLatin1String(pick(kWords)));
    }

    QByteArray encodeWord(const QString& text) { return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?="; }

    struct Parts {
        QString subject, fromName, fromAddress, text;
        QByteArray authResults;
        bool htmlOnly = false;
        bool shiftJis = false;
        QString html; // used when htmlOnly or as the alternative
    };

    QByteArray build(const Parts& p) {
        QByteArray h;
        h += "Return-Path: <" + p.fromAddress.toUtf8() + ">\r\n";
        if (!p.authResults.isEmpty())
            h += "Authentication-Results: mx.example.jp; " + p.authResults + "\r\n";
        h += "From: " + (p.fromName.isEmpty() ? QByteArray() : encodeWord(p.fromName) + " ") + "<" +
             p.fromAddress.toUtf8() + ">\r\n";
        h += "To: user@example.jp\r\n";
        h += "Subject: " + encodeWord(p.subject) + "\r\n";
        h += "Date: " +
             QDateTime(QDate(2026, 1 + below(12), 1 + below(28)), QTime(below(24), below(60)))
                 .toString(Qt::RFC2822Date)
                 .toLatin1() +
             "\r\n";
        h += "Message-ID: <" + QByteArray::number(m_rng.generate64(), 16) + "@" +
             p.fromAddress.section(u'@', 1).toUtf8() + ">\r\nMIME-Version: 1.0\r\n";
        const int encoding = below(3);
        auto body = [&](const QString& text, const char* type) -> QByteArray {
            if (p.shiftJis)
                return QByteArray("Content-Type: text/") + type +
                       "; charset=Shift_JIS\r\n"
                       "Content-Transfer-Encoding: 8bit\r\n\r\n" +
                       toCp932(text) + "\r\n";
            const QByteArray utf8 = text.toUtf8();
            QByteArray head = QByteArray("Content-Type: text/") + type + "; charset=UTF-8\r\n";
            if (encoding == 0)
                return head + "Content-Transfer-Encoding: base64\r\n\r\n" + utf8.toBase64() + "\r\n";
            if (encoding == 1)
                return head + "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
                       utf8.toPercentEncoding(" \n", "", '=') + "\r\n";
            return head + "Content-Transfer-Encoding: 8bit\r\n\r\n" + utf8 + "\r\n";
        };
        if (p.htmlOnly)
            return h + body(p.html, "html");
        if (p.html.isEmpty())
            return h + body(p.text, "plain");
        const QByteArray boundary = "b" + QByteArray::number(m_rng.generate64(), 16);
        return h + "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary +
               "\r\n" + body(p.text, "plain") + "--" + boundary + "\r\n" + body(p.html, "html") + "--" +
               boundary + "--\r\n";
    }

    QString htmlOf(const QString& text, const QString& linkText, const QString& target) {
        QString html = u"<html><body><div>"_qs;
        for (const QString& line : text.split(u'\n'))
            html += line.toHtmlEscaped() + u"<br>"_qs;
        html += QStringLiteral("<p><a href=\"%1\">%2</a></p></div></body></html>").arg(target, linkText);
        return html;
    }

    ComposedMessage junk() {
        Parts p;
        const bool english = chance(0.2);
        QString brand, domain, kind;
        if (english) {
            brand = QString::fromUtf16(pick(kEnBrands));
            domain = brand.toLower() + u".com"_qs;
            kind = u"phish-en"_qs;
            p.subject = fill(QString::fromUtf16(pick(kEnJunkSubjects)), brand);
            p.text = lines(kEnJunkLines, std::size(kEnJunkLines), 3 + below(4), brand);
        } else {
            const Brand& b = pick(kBrands);
            brand = QString::fromUtf16(b.name);
            domain = QString::fromLatin1(b.domain);
            kind = u"phish-"_qs + QString::fromUtf16(b.kind);
            p.subject = fill(QString::fromUtf16(pick(kJunkSubjects)), brand);
            p.text = lines(kJunkLines, std::size(kJunkLines), 3 + below(5), brand);
        }
        // Fake receipts, and wanted mail's words mixed in.
        if (!english && chance(0.2))
            p.subject = fill(QString::fromUtf16(pick(kReceiptSubjects)), brand);
        if (chance(0.4))
            p.text += u"\n"_qs + lines(kReceiptLines, std::size(kReceiptLines), 1 + below(2), brand);
        if (chance(0.3))
            p.text += u"\n"_qs + lines(kNoticeLines, std::size(kNoticeLines), 1 + below(2), brand);
        p.text += u"\n"_qs + lines(kFiller, std::size(kFiller), below(3), brand);
        if (chance(0.3)) {
            p.subject = disguise(p.subject);
            p.text = disguise(p.text);
        }
        // The sender: a cheap domain, a lookalike, or a free mail address.
        const int senderKind = below(10);
        const QString senderDomain = senderKind < 5   ? cheapDomain()
                                     : senderKind < 8 ? lookalike(domain)
                                                      : QString::fromLatin1(pick(kFreeMail));
        p.fromAddress =
            QStringLiteral("%1%2@%3").arg(QLatin1String(pick(kWords))).arg(below(1000)).arg(senderDomain);
        p.fromName = chance(0.3) ? brand + u" <"_qs + u"info@"_qs + domain + u">"_qs : brand;
        if (chance(0.25))
            p.fromName = domain; // a display name that is a domain
        const QString target =
            QStringLiteral("https://%1/%2?id=%3")
                .arg(chance(0.6) ? cheapDomain() : lookalike(domain), QLatin1String(pick(kWords)))
                .arg(m_rng.generate(), 0, 16);
        const QString linkText = chance(0.5) ? u"https://www."_qs + domain + u"/"_qs
                                             : (english ? u"Verify now"_qs : u"こちらからログイン"_qs);
        if (chance(0.5))
            p.authResults = QByteArray("spf=") + (chance(0.5) ? "fail" : "softfail") +
                            " smtp.mailfrom=" + senderDomain.toUtf8() +
                            "; dkim=none; dmarc=" + (chance(0.7) ? "fail" : "none");
        if (chance(0.7)) {
            p.html = htmlOf(p.text, linkText, target);
            p.htmlOnly = chance(0.6);
        } else {
            p.text += u"\n"_qs + target + u"\n"_qs;
        }
        return {build(p), true, kind};
    }

    ComposedMessage wanted() {
        Parts p;
        const int kind = below(13);
        QString kindName;
        const Brand& b = pick(kBrands);
        const QString brand = QString::fromUtf16(b.name);
        const QString domain = QString::fromLatin1(b.domain);
        QString link;
        QString linkText;
        if (kind < 2) { // the real service's security notices
            kindName = u"notice"_qs;
            p.subject = fill(QString::fromUtf16(pick(kNoticeSubjects)), brand);
            p.text = lines(kNoticeLines, std::size(kNoticeLines), 3 + below(4), brand);
            if (chance(0.2))
                p.text += u"\n"_qs + lines(kJunkLines, std::size(kJunkLines), 1, brand);
            p.fromName = brand;
            p.fromAddress = u"info@"_qs + domain;
            link = u"https://www."_qs + domain + u"/login"_qs;
            linkText = chance(0.5) ? u"ログイン"_qs : u"https://www."_qs + domain + u"/login"_qs;
            if (chance(0.5))
                p.authResults = "spf=pass smtp.mailfrom=" + domain.toUtf8() + "; dkim=pass; dmarc=pass";
        } else if (kind < 4) { // receipts and card notices from the real service
            kindName = u"receipt"_qs;
            p.subject = fill(QString::fromUtf16(pick(kReceiptSubjects)), brand);
            p.text = lines(kReceiptLines, std::size(kReceiptLines), 3 + below(4), brand);
            p.fromName = brand;
            p.fromAddress = u"order-update@"_qs + domain;
            link = u"https://www."_qs + domain + u"/mypage/order?o="_qs + QString::number(m_rng.generate());
            linkText = chance(0.5) ? u"注文履歴を見る"_qs : u"https://www."_qs + domain + u"/mypage"_qs;
            if (chance(0.6))
                p.authResults = "spf=pass smtp.mailfrom=" + domain.toUtf8() + "; dkim=pass; dmarc=pass";
        } else if (kind < 6) {
            kindName = u"personal"_qs;
            p.subject = fill(QString::fromUtf16(pick(kPersonalSubjects)), brand);
            p.text = lines(kPersonalLines, std::size(kPersonalLines), 2 + below(4), brand);
            p.fromName = pick(std::array{u"山田 花子"_qs, u"佐藤 健"_qs, u"鈴木"_qs, u"たなか"_qs});
            p.fromAddress = QStringLiteral("friend%1@%2").arg(below(50)).arg(QLatin1String(pick(kFreeMail)));
            p.shiftJis = chance(0.3);
        } else if (kind < 8) {
            kindName = u"work"_qs;
            p.subject = fill(QString::fromUtf16(pick(kWorkSubjects)), brand);
            p.text = lines(kWorkLines, std::size(kWorkLines), 2 + below(5), brand);
            p.fromName = pick(std::array{u"営業部 高橋"_qs, u"情報システム部"_qs, u"伊藤 (開発)"_qs});
            p.fromAddress = QStringLiteral("staff%1@example-corp.co.jp").arg(below(40));
            p.shiftJis = chance(0.3);
            if (chance(0.8))
                p.authResults = "spf=pass smtp.mailfrom=example-corp.co.jp; dkim=pass; dmarc=pass";
        } else if (kind < 10) {
            kindName = u"newsletter"_qs;
            p.subject = fill(QString::fromUtf16(pick(kNewsSubjects)), brand);
            p.text = lines(kNewsLines, std::size(kNewsLines), 3 + below(4), brand);
            p.fromName = brand;
            p.fromAddress = u"news@mail."_qs + domain;
            // Click trackers: the target is the mailing service's, the text the shop's.
            link = chance(0.3) ? QStringLiteral("https://click.mailer-service.net/c/%1").arg(m_rng.generate())
                               : u"https://www."_qs + domain + u"/campaign"_qs;
            linkText = chance(0.2) ? u"www."_qs + domain : u"詳しくはこちら"_qs;
            if (chance(0.6))
                p.authResults = "spf=pass smtp.mailfrom=mail." + domain.toUtf8() + "; dkim=pass; dmarc=pass";
        } else if (kind < 11) {
            kindName = u"list"_qs;
            p.subject = fill(QString::fromUtf16(pick(kListSubjects)), brand);
            p.text = lines(kListLines, std::size(kListLines), 2 + below(4), brand);
            p.fromName = pick(std::array{u"Kenji Mori"_qs, u"小林"_qs, u"ML管理者"_qs});
            p.fromAddress = QStringLiteral("member%1@lists.example.org").arg(below(200));
        } else {
            kindName = u"english"_qs;
            p.subject = fill(QString::fromUtf16(pick(kEnWantedSubjects)), brand);
            p.text = lines(kEnWantedLines, std::size(kEnWantedLines), 2 + below(4), brand);
            p.fromName =
                pick(std::array{u"Alex Brown"_qs, u"GitHub"_qs, u"Project Announce"_qs, u"Shop Support"_qs});
            p.fromAddress = QStringLiteral("user%1@%2")
                                .arg(below(100))
                                .arg(pick(std::array{u"example.com"_qs, u"github.com"_qs,
                                                     u"lists.example.org"_qs, u"shop.example.net"_qs}));
            if (chance(0.5))
                p.authResults = "spf=pass; dkim=pass; dmarc=pass";
        }
        p.text += u"\n"_qs + lines(kFiller, std::size(kFiller), below(3), brand);
        if (!link.isEmpty() && !p.shiftJis && chance(0.7)) {
            p.html = htmlOf(p.text, linkText, link);
            p.htmlOnly = chance(0.4);
        } else if (!link.isEmpty()) {
            p.text += u"\n"_qs + link + u"\n"_qs;
        }
        return {build(p), false, kindName};
    }

private:
    QRandomGenerator m_rng;
};

} // namespace

QList<ComposedMessage> compose(quint32 seed, int junkCount, int wantedCount) {
    Composer c(seed);
    QList<ComposedMessage> out;
    out.reserve(junkCount + wantedCount);
    int j = 0, w = 0;
    // Interleaved, as mail arrives.
    while (j < junkCount || w < wantedCount) {
        if (j < junkCount && (w >= wantedCount || c.chance(double(junkCount) / (junkCount + wantedCount)))) {
            out << c.junk();
            ++j;
        } else {
            out << c.wanted();
            ++w;
        }
    }
    return out;
}

} // namespace brindle::corpus
