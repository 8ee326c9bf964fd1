#pragma once
#include "mailcheck/pop3/Pop3Error.h"
#include "mailcheck/pop3/Pop3Trust.h"

#include <QString>

namespace brindle {

// A failure of the mail library as a value: the session's kind and the server's words (already
// sanitized, never the password), with the facts the user's sentence is made of. The windows and
// brindle-check put it into words (ui/texts/CheckTexts.h); the core only acts on the kind.
struct MailError : Pop3Error {
    // The entry point the failure came from. None: a library that names no entry point (a test
    // double); its words alone then say why.
    enum class Step { None, Connect, Login, Status, Size, Uidl, Mail, Delete, Close };
    // Refusals the library makes itself, before anything goes to the server.
    enum class Refusal {
        None,
        NoServer,         // no server is set
        AddressForm,      // the address is not written as one (part: the address)
        AddressHost,      // its host name is not one (part)
        AddressPort,      // its port is not one (part)
        NotConnected,     // no connection has this handle
        HandleBusy,       // the handle is in the middle of another call
        NotLoggedIn,      // a message was asked for before the login
        NoSuchMessage,    // number: no message has it
        MessageDeleted,   // number: deleted in this session already
        AlreadyLoggedIn,  // a second login
        UnusableAccount,  // the user name or password holds characters no command can carry
        NoApop,           // APOP was asked for, and the greeting offers no timestamp
        TooLarge,         // number: too large to be read whole
        DeletionNotAsked, // number: no DELE was left pending for it
        Aborted,          // the connection was broken off from our side
    };
    Step step = Step::None;
    Refusal refusal = Refusal::None;
    int number = 0;               // the message of the entry point, where it has one
    QString part;                 // with an address refusal: the part that is wrong
    QString host;                 // the server's name
    QString hostAndPort;          // where the connection was tried: "host:port", "[v6]:port"
    CertificateCheck certificate; // with TLS failures: what the server's certificate was found to be
    int limitMs = 0;              // with TimedOut: the limit that passed (Pop3Wait says which)
};

} // namespace brindle
