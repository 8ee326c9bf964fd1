#!/usr/bin/env python3
"""Writes the demo mailbox (assets/demo/mails/*.eml) and the demo keyword file.

Run by hand when the samples change; the results are committed. The one large mail is made by
tools/scripts/demo.sh at demo time so that a megabyte of noise does not live in the repository.
"""
import base64
import os
import struct
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MAILS = os.path.join(ROOT, "assets", "demo", "mails")
SETTINGS = os.path.join(ROOT, "assets", "demo", "appfolder-settings")


def b_word(text, charset):
    codec = {"ISO-2022-JP": "iso2022_jp", "Shift_JIS": "cp932", "EUC-JP": "euc_jp", "UTF-8": "utf-8"}[charset]
    return "=?%s?B?%s?=" % (charset, base64.b64encode(text.encode(codec)).decode("ascii"))


def message(subject, sender, body, charset="UTF-8", subtype="plain", date="Sun, 6 Dec 2026 09:00:00 +0900"):
    codec = {"ISO-2022-JP": "iso2022_jp", "Shift_JIS": "cp932", "EUC-JP": "euc_jp", "UTF-8": "utf-8",
             "us-ascii": "ascii"}[charset]
    encoded_subject = subject if subject.isascii() else b_word(subject, charset if charset != "us-ascii" else "UTF-8")
    transfer = "7bit" if charset in ("ISO-2022-JP", "us-ascii") else "8bit"
    head = ("From: %s\r\nTo: you@example.jp\r\nSubject: %s\r\nDate: %s\r\nMIME-Version: 1.0\r\n"
            "Content-Type: text/%s; charset=%s\r\nContent-Transfer-Encoding: %s\r\n\r\n"
            % (sender, encoded_subject, date, subtype, charset, transfer))
    return head.encode("ascii") + body.replace("\n", "\r\n").encode(codec) + b"\r\n"


def alternative(subject, sender, plain, html, charset="UTF-8"):
    boundary = "=_demo_alt"
    head = ("From: %s\r\nTo: you@example.jp\r\nSubject: %s\r\nDate: Sun, 6 Dec 2026 09:30:00 +0900\r\n"
            "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"%s\"\r\n\r\n"
            % (sender, subject if subject.isascii() else b_word(subject, charset), boundary))
    parts = ""
    for subtype, text in (("plain", plain), ("html", html)):
        parts += ("--%s\r\nContent-Type: text/%s; charset=%s\r\nContent-Transfer-Encoding: base64\r\n\r\n%s\r\n"
                  % (boundary, subtype, charset, base64.encodebytes(text.encode("utf-8")).decode("ascii")
                     .replace("\n", "\r\n")))
    return (head + parts + "--%s--\r\n" % boundary).encode("ascii")


MESSAGES = {
    "01-meeting-iso2022jp.eml": message(
        "来週の会議について", "Tanaka Hiroshi <tanaka@example.co.jp>",
        "山田様\n\nお世話になっております。田中です。\n来週の会議は火曜日の10時〜12時に変更になりました。\n"
        "資料は前日までにお送りします。\n\nよろしくお願いいたします。", "ISO-2022-JP"),
    "02-unsolicited-ad-iso2022jp.eml": message(
        "未承認広告※今だけ特別価格のご案内", "info@bargain.example",
        "★★★大特価セール★★★\n今すぐアクセスしてください。\n配信停止はこちら", "ISO-2022-JP"),
    "03-free-gift-shiftjis.eml": message(
        "【重要】当選のお知らせ", "campaign@lucky.example",
        "おめでとうございます！\nあなたは抽選に当選しました。\n登録は無料です。下記のリンクからどうぞ。", "Shift_JIS"),
    "04-newsletter-eucjp.eml": message(
        "町内会だより 12月号", "chounaikai@example.jp",
        "12月の行事予定をお知らせします。\n・餅つき大会 12月27日\n・大掃除 12月30日\nみなさまのご参加をお待ちしています。",
        "EUC-JP"),
    "05-casino-address-utf8.eml": message(
        "ご招待状が届いています", "VIP Club <vip@casino-royal.example>",
        "特別会員様だけのご招待です。\n今夜のイベントにぜひご参加ください。", "UTF-8"),
    "06-cheap-pills-english.eml": message(
        "Cheap viagra, fast shipping", "pharmacy@pills.example",
        "Best prices online. No prescription needed.\nOrder now!", "us-ascii"),
    "07-lunch-english.eml": message(
        "Lunch on Friday?", "Alice Brown <alice@example.org>",
        "Hi,\n\nAre you free for lunch on Friday? The new ramen place near the station opened.\n\nAlice",
        "us-ascii"),
    "08-casino-html-upper.eml": alternative(
        "Your bonus is waiting", "promo@spins.example",
        "Claim 200 free spins today.",
        "<HTML><BODY><H1>200 FREE SPINS</H1><P>Claim your bonus today!</P></BODY></HTML>"),
    "09-shop-news-html-lower.eml": alternative(
        "ショップからのお知らせ", "news@shop.example.jp",
        "冬のセールが始まりました。",
        "<html><body><p>冬のセールが始まりました。</p><p>ぜひご来店ください。</p></body></html>"),
    "10-no-hiragana-kanbun.eml": message(
        "本日特価商品", "sale@export.example",
        "本日特価！高品質商品大量入荷。数量限定、先着順。詳細下記URL参照。\nhttp://example.invalid/", "UTF-8"),
    "12-family-utf8.eml": message(
        "お正月の予定", b_word("母", "UTF-8") + " <mother@example.ne.jp>",
        "元気にしていますか。\nお正月は何日に帰ってこられますか？\nお餅をたくさん用意しておきますね。", "UTF-8"),
}

KEYWORDS = ["未承認広告", "無料", "casino", "viagra"]


def keyword_record(text):
    raw = text.encode("cp932")[:200]
    return b"\r\n" + struct.pack("<h", 1) + raw + b" " * (200 - len(raw))


def main():
    os.makedirs(MAILS, exist_ok=True)
    for name, data in MESSAGES.items():
        with open(os.path.join(MAILS, name), "wb") as f:
            f.write(data)
    data_folder = os.path.join(SETTINGS, "★MailData")
    os.makedirs(data_folder, exist_ok=True)
    with open(os.path.join(data_folder, "Kstdata50.data"), "wb") as f:
        for k in KEYWORDS:
            f.write(keyword_record(k))
    return 0


if __name__ == "__main__":
    sys.exit(main())
