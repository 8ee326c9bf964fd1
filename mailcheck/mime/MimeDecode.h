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

// rawHeader: the header block as the server sent it (TOP n 0), dot-unstuffed, CR LF line ends.
DecodedHeader decodeHeader(QByteArrayView rawHeader);
// rawMessage: the whole message (RETR n), dot-unstuffed.
DecodedMessage decodeMessage(QByteArrayView rawMessage);

} // namespace brindle
