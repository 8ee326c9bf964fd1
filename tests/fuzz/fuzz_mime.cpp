// Untrusted mail through the whole decoding path, checking the promises its callers rely on.
#include "mailcheck/mime/Charset.h"
#include "mailcheck/mime/MimeDecode.h"

#include <cstdint>
#include <cstdlib>

using namespace brindle;

namespace {

void require(bool condition) {
    if (!condition)
        abort();
}

const char* const kLabels[] = {"iso-2022-jp",  "shift_jis", "euc-jp", "utf-8",  "us-ascii",  "iso-8859-1",
                               "windows-1252", "utf-16",    "utf-7",  "gb2312", "x-unknown", "ISO-2022-JP-2"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));

    const DecodedMessage message = decodeMessage(input);
    const DecodedHeader header = decodeHeader(input);
    // The message's head is its header block decoded alone.
    require(message.head.subject == header.subject);
    require(message.head.fromAddress == header.fromAddress);
    for (const QString* text : {&message.body, &header.subject, &header.fromAddress, &header.header})
        require(!text->contains(QChar(0)));

    // Any declared charset: text never decodes to nothing (escape sequences alone may: they say
    // nothing visible).
    if (size >= 1) {
        const QByteArrayView bytes = input.sliced(1);
        const bool onlyText =
            !bytes.isEmpty() && !bytes.contains('\x1b') && !bytes.contains('\x0e') && !bytes.contains('\x0f');
        const QString text = decodeCharset(bytes, kLabels[data[0] % std::size(kLabels)]);
        require(!onlyText || !text.isEmpty());
        require(!onlyText || !decodeUndeclaredText(bytes).isEmpty());
    }
    return 0;
}
