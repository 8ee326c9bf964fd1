#pragma once
#include "mailcheck/mime/Charset.h"

#include <QByteArray>
#include <QString>

namespace brindle {

struct DecodedHeader {
    QString subject;     // RFC 2047 decoded, any charset; undeclared 8-bit detected
    QString date;        // the Date field as text
    QString fromAddress; // the address of the first From mailbox
    QString header;      // the whole header block, unfolded lines kept, encoded-words decoded
};

struct DecodedMessage {
    DecodedHeader head;
    // Every text/plain and text/html part that is not an attachment, transfer- and charset-decoded,
    // in message order, joined by CR LF. Already folded (foldJapaneseVariants), like the head's texts.
    QString body;
    // The bytes of the parts the body leaves out (attachments, pictures, named files), as they stand
    // in the message, transfer-encoded: what a reader downloads beside the text.
    qint64 leftOutBytes = 0;
};

// What decodeMessage reads from a Content-Type value ("text/plain; charset=UTF-8"), or with
// disposition set from a Content-Disposition value ("attachment; filename=a.pdf"), unfolded. The
// plain forms nearly all mail uses are read here; anything else (comments, escapes, encoded words,
// RFC 2231 parameters, 8-bit bytes), or every value when viaLibrary is set, by the MIME library.
// Both readings are the same; the tests hold one against the other.
struct ContentField {
    bool read = false;   // false: the library cannot read the value, and the field counts as absent
    QByteArray type;     // the media type or the disposition, as written
    QByteArray subtype;  // empty for a disposition
    QByteArray boundary; // empty when not given, and for a disposition
    QByteArray charset;
    bool named = false; // a "name" parameter (Content-Type) or "filename" (Content-Disposition)
};
ContentField readContentField(QByteArrayView value, bool disposition, bool viaLibrary = false);

// rawHeader: the header block as the server sent it (TOP n 0), dot-unstuffed, CR LF line ends.
DecodedHeader decodeHeader(QByteArrayView rawHeader);
// rawMessage: the whole message (RETR n), dot-unstuffed.
DecodedMessage decodeMessage(QByteArrayView rawMessage);

} // namespace brindle
