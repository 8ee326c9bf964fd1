#include "ui/texts/CheckTexts.h"

#include "mailcheck/ServerText.h"

#include <QCryptographicHash>

namespace brindle {

namespace {

using Refusal = MailError::Refusal;
using Step = MailError::Step;

const QString kUnknownFailure = QStringLiteral(u"原因不明のエラーです");
const QString kErrorCaption = QStringLiteral(u"エラー");

QString dateText(const QDateTime& t) {
    return t.toLocalTime().toString(QStringLiteral("yyyy/MM/dd"));
}

QString fingerprintOf(const MailError& e) {
    const QSslCertificate c = e.certificate.certificate;
    return c.isNull() ? QStringLiteral(u"不明") : fingerprintText(c.digest(QCryptographicHash::Sha256));
}

// A refusal of the library's own.
QString refusalSentence(const MailError& e) {
    switch (e.refusal) {
    case Refusal::None:
        break;
    case Refusal::NoServer:
        return QStringLiteral(u"POP3 サーバーが設定されていません");
    case Refusal::AddressForm:
        return QStringLiteral(u"POP3 サーバーの書き方が正しくありません（%1）").arg(e.part);
    case Refusal::AddressHost:
        return QStringLiteral(u"POP3 サーバー名が正しくありません（%1）").arg(e.part);
    case Refusal::AddressPort:
        return QStringLiteral(u"ポート番号が正しくありません（%1）").arg(e.part);
    case Refusal::NotConnected:
        return QStringLiteral(u"接続されていません");
    case Refusal::HandleBusy:
        return QStringLiteral(u"この接続は別の処理の途中です");
    case Refusal::NotLoggedIn:
        return QStringLiteral(u"ログインしていません");
    case Refusal::NoSuchMessage:
        return QStringLiteral(u"メッセージ %1 はありません").arg(e.number);
    case Refusal::MessageDeleted:
        return QStringLiteral(u"メッセージ %1 は削除済みです").arg(e.number);
    case Refusal::AlreadyLoggedIn:
        return QStringLiteral(u"すでにログインしています");
    case Refusal::UnusableAccount:
        return QStringLiteral(u"ユーザー名かパスワードに使えない文字があります");
    case Refusal::NoApop:
        return QStringLiteral(u"このサーバーは APOP に対応していません（挨拶にタイムスタンプがありません）");
    case Refusal::TooLarge:
        return QStringLiteral(u"メッセージ %1 は大きすぎるため読みません").arg(e.number);
    case Refusal::DeletionNotAsked:
        return QStringLiteral(u"メッセージ %1 の削除は頼まれていません").arg(e.number);
    case Refusal::Aborted:
        return QStringLiteral(u"接続を中断しました");
    }
    return kUnknownFailure;
}

// A failed handshake, said by what was wrong where the certificate tells it.
QString tlsSentence(const MailError& e, const QString& words) {
    const CertificateCheck& c = e.certificate;
    if (!c.certificate.isNull() && !c.otherFault && c.wrongName && !c.untrusted)
        return QStringLiteral(u"%1 の証明書は別のサーバー（%2）に発行されたものなので、接続をやめました")
            .arg(e.host, certificateNamesText(c.certificate));
    if (!c.certificate.isNull() && !c.otherFault && c.outOfDate)
        return QStringLiteral(u"%1 の証明書は有効期間（%2 ～ %3）の外なので、接続をやめました")
            .arg(e.host, dateText(c.certificate.effectiveDate()), dateText(c.certificate.expiryDate()));
    return QStringLiteral(u"%1 と暗号化通信を始められません（%2）").arg(e.host, words);
}

QString refusedSentence(const MailError& e, const QString& words) {
    switch (e.step) {
    case Step::None:
    case Step::Connect:
    case Step::Login:
        return QStringLiteral(u"サーバーが接続を断りました（%1）").arg(words);
    case Step::Status:
        return QStringLiteral(u"メッセージ %1 のヘッダーを読めません（%2）").arg(e.number).arg(words);
    case Step::Size:
        return QStringLiteral(u"メッセージの大きさの一覧を読めません（%1）").arg(words);
    case Step::Uidl:
        return QStringLiteral(u"メッセージの識別子（UIDL）の一覧を読めません（%1）").arg(words);
    case Step::Mail:
        return QStringLiteral(u"メッセージ %1 を読めません（%2）").arg(e.number).arg(words);
    case Step::Delete:
        return QStringLiteral(u"メッセージ %1 を削除できません（%2）").arg(e.number).arg(words);
    case Step::Close:
        return QStringLiteral(u"サーバーが終了を受け付けませんでした（%1）").arg(words);
    }
    return kUnknownFailure;
}

// What a certificate says of itself, as the questions show it.
QString certificateDetails(const QSslCertificate& c) {
    return QStringLiteral(u"発行先: %1（%2）\n発行者: %3\n有効期間: %4 ～ %5\nSHA-256: %6")
        .arg(certificateSubjectText(c), certificateNamesText(c), certificateIssuerText(c),
             dateText(c.effectiveDate()), dateText(c.expiryDate()),
             fingerprintText(c.digest(QCryptographicHash::Sha256)));
}

NoticeBox box(const QString& text, MsgIcon icon, const QString& caption = {}) {
    return NoticeBox{text, MsgButtons::Ok, icon, caption};
}

} // namespace

QString failureSentence(const MailError& e) {
    if (e.refusal != Refusal::None)
        return refusalSentence(e);
    if (e.kind == Pop3ErrorKind::None)
        return kUnknownFailure;
    // A library that names no entry point has only its words to say.
    if (e.step == Step::None)
        return e.detail.isEmpty() ? kUnknownFailure : e.detail;
    const QString words = e.detail.isEmpty() ? QStringLiteral(u"理由の説明なし") : e.detail;
    switch (e.kind) {
    case Pop3ErrorKind::None:
        break;
    case Pop3ErrorKind::CannotConnect:
        if (e.step != Step::Connect)
            return QStringLiteral(u"接続が切れました（%1）").arg(words);
        return QStringLiteral(u"%1 に接続できません（%2）").arg(e.hostAndPort, words);
    case Pop3ErrorKind::TlsRefused:
        return tlsSentence(e, words);
    case Pop3ErrorKind::CertificateUnknown:
        return QStringLiteral(
                   u"%1 の証明書は、このコンピューターが信頼する発行者のものではありません（SHA-256 %2）")
            .arg(e.host, fingerprintOf(e));
    case Pop3ErrorKind::CertificateChanged:
        return QStringLiteral(u"%1 の証明書が、信頼すると決めた証明書と違います。証明書が更新されたか、"
                              u"通信が乗っ取られているおそれがあります（SHA-256 %2）")
            .arg(e.host, fingerprintOf(e));
    case Pop3ErrorKind::TlsDowngraded:
        return QStringLiteral(
                   u"%1 は以前は暗号化（TLS）に対応していましたが、今回は対応していません。通信が途中で"
                   u"書き換えられているおそれがあるため、パスワードを送らずに接続をやめました")
            .arg(e.host);
    case Pop3ErrorKind::PlainLoginRefused:
        return QStringLiteral(
                   u"%1 は暗号化（TLS）に対応していないため、パスワードが暗号化されずに送られます。"
                   u"それに同意していないので、ログインしませんでした")
            .arg(e.host);
    case Pop3ErrorKind::TimedOut:
        if (e.wait == Pop3Wait::Session)
            return QStringLiteral(u"チェックが %1 分を超えたため、接続をやめました").arg(e.limitMs / 60000.0);
        if (e.wait == Pop3Wait::Trickle)
            return QStringLiteral(
                u"サーバーの応答が遅すぎるため（少しずつしか届きません）、接続をやめました");
        if (e.step == Step::Connect)
            return QStringLiteral(u"%1 に接続できません（%2 秒以内に応答がありません）")
                .arg(e.hostAndPort)
                .arg(e.limitMs / 1000.0);
        return QStringLiteral(u"サーバーが %1 秒以内に応答しません").arg(e.limitMs / 1000.0);
    case Pop3ErrorKind::ProtocolError:
        if (e.pipeliningGarbled)
            return QStringLiteral(u"サーバーがまとめて送ったコマンドへの応答を乱しました（PIPELINING）");
        return QStringLiteral(u"サーバーの応答が POP3 の形式ではありません（%1）").arg(words);
    case Pop3ErrorKind::LoginRefused:
        return QStringLiteral(u"ログインできませんでした（%1）").arg(words);
    case Pop3ErrorKind::ConnectionLost:
        return QStringLiteral(u"接続が切れました（%1）").arg(words);
    case Pop3ErrorKind::CommandRefused:
        return refusedSentence(e, words);
    }
    return kUnknownFailure;
}

NoticeBox noticeBox(const CheckNotice& n) {
    using Kind = CheckNotice::Kind;
    switch (n.kind) {
    case Kind::Deleted:
        break;
    case Kind::PinnedOutOfDate:
        return box(QStringLiteral(u"%1 の証明書は有効期間（%2 ～ %3）の外ですが、信頼すると決めた証明書なので"
                                  u"接続しました。サーバーの管理者に証明書の更新を頼んでください。")
                       .arg(n.server, dateText(n.validFrom), dateText(n.validUntil)),
                   MsgIcon::Information);
    case Kind::NoConnection:
        return box(QStringLiteral(u"POP3サーバーに接続できませんでした。\n%1").arg(failureSentence(n.error)),
                   MsgIcon::Exclamation, kErrorCaption);
    case Kind::LoginFailed:
        return box(n.error.pipeliningGarbled
                       ? QStringLiteral(u"%1\n次回からこのサーバーには命令を1つずつ送ります。")
                             .arg(failureSentence(n.error))
                       : failureSentence(n.error),
                   MsgIcon::None, kErrorCaption);
    case Kind::CopyFailed:
        return box(
            QStringLiteral(u"削除する前の控えを保存できなかったため、メール %1 などを削除せずに残しました。"
                           u"データフォルダ（%2）に書き込めるか、空き容量があるかを確かめてください。")
                .arg(n.number)
                .arg(n.path.isEmpty() ? QStringLiteral(u"★MailData") : n.path),
            MsgIcon::Exclamation, kErrorCaption);
    case Kind::LogNotWritten:
        return box(QStringLiteral(u"削除したメールの記録（deleted.log）を書けませんでした。"
                                  u"控えは quarantine フォルダにあります。"),
                   MsgIcon::Exclamation, kErrorCaption);
    case Kind::DeletionRefused:
        return box(
            QStringLiteral(
                u"メール %1 を「%2」で削除しようとしましたが、サーバーが削除を受け付けませんでした。\n%3")
                .arg(n.number)
                .arg(n.ruleWord, failureSentence(n.error)),
            MsgIcon::Exclamation);
    case Kind::RepliesGarbled:
        return box(QStringLiteral(u"サーバーの応答が乱れたため、チェックを途中で止めました。"
                                  u"次回からこのサーバーには命令を1つずつ送ります。"),
                   MsgIcon::Exclamation, kErrorCaption);
    case Kind::DeletionsLost:
        return box(
            QStringLiteral(
                u"サーバーとの接続が切れたため、このチェックで削除したメール（%1件）は削除されていません。"
                u"次のチェックで改めて判定します。\n%2")
                .arg(n.count)
                .arg(failureSentence(n.error)),
            MsgIcon::Exclamation, kErrorCaption);
    case Kind::ConnectionLost:
        return box(QStringLiteral(u"チェックの途中でサーバーとの接続が切れました。\n%1")
                       .arg(failureSentence(n.error)),
                   MsgIcon::Exclamation, kErrorCaption);
    case Kind::NoMailer:
        return box(QStringLiteral(u"起動するメーラーが設定されていません。"), MsgIcon::None);
    case Kind::MailerFailed:
        return box(QStringLiteral(u"メーラーを起動できませんでした。\n%1").arg(n.path), MsgIcon::Exclamation);
    case Kind::SizeLimitMissing:
        return box(QStringLiteral(u"削除するサイズが設定されていないため、ファイルサイズでは削除しません。"
                                  u"「バイト以上で削除」に1以上の数を入れてください。"),
                   MsgIcon::Exclamation);
    }
    // A deletion is announced by its rule word alone.
    return box(n.ruleWord, MsgIcon::None);
}

NoticeBox trustQuestionBox(const CheckHost::TrustQuestion& q) {
    using Kind = CheckHost::TrustQuestion::Kind;
    QString text;
    switch (q.kind) {
    case Kind::PlainLogin:
        text = QStringLiteral(
                   u"POP3サーバー %1 は暗号化（TLS）に対応していません。このままログインすると、パスワードが"
                   u"暗号化されずにネットワークを流れ、途中で盗み見られるおそれがあります（APOP を使う"
                   u"設定なら、パスワードそのものは送られません）。\n\nこのサーバーには暗号化せずに"
                   u"パスワードを送りますか？「はい」を選ぶと、次からは聞きません。")
                   .arg(q.server);
        break;
    case Kind::Certificate:
        text = QStringLiteral(
                   u"POP3サーバー %1 の証明書は、このコンピューターが信頼する発行者のものではありません"
                   u"（自己署名の証明書か、私設の認証局が発行した証明書です）。\n\n%2\n\n")
                   .arg(q.server, certificateDetails(q.certificate));
        if (q.wrongName)
            text += QStringLiteral(u"この証明書は、接続先の名前ではなく上の名前に発行されています。\n\n");
        text +=
            QStringLiteral(u"サーバーの管理者から聞いた SHA-256 の指紋と同じなら、このサーバーの証明書として"
                           u"信頼できます。信頼して接続しますか？");
        break;
    case Kind::ChangedCertificate:
        text = QStringLiteral(u"POP3サーバー %1 の証明書が、以前に信頼すると決めた証明書（SHA-256 %2）と"
                              u"違います。サーバーが証明書を取り替えたか、通信が途中で乗っ取られているおそれ"
                              u"があります。\n\n新しい証明書:\n%3\n\n新しい証明書を信頼して接続しますか？"
                              u"わからないときは「いいえ」を選び、サーバーの管理者に確かめてください。")
                   .arg(q.server, fingerprintText(q.pinnedSha256), certificateDetails(q.certificate));
        break;
    }
    return NoticeBox{text, MsgButtons::YesNoDefaultNo, MsgIcon::Exclamation,
                     QStringLiteral(u"セキュリティの確認")};
}

QString unjudgedReason(const MailError& error) {
    return sanitizeServerText(failureSentence(error), QString(), kUnjudgedReasonMaxChars);
}

QString unjudgedBoxText(const QList<UnjudgedMessage>& messages) {
    QString text = QStringLiteral(u"次のメール（%1件）は読み込めなかったため判定できませんでした。"
                                  u"削除せずに新着として残しています。")
                       .arg(messages.size());
    for (qsizetype i = 0; i < messages.size() && i < kUnjudgedNamedInBox; ++i)
        text +=
            QStringLiteral(u"\nメール %1: %2").arg(messages[i].number).arg(unjudgedReason(messages[i].error));
    if (messages.size() > kUnjudgedNamedInBox)
        text += QStringLiteral(u"\nほか %1件").arg(messages.size() - kUnjudgedNamedInBox);
    return text;
}

QString noticeBoardText() {
    return QStringLiteral(u"新着メールがあります。");
}

} // namespace brindle
