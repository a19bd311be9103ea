#pragma once

// The promises of SessionDisk::load on any session.json: it never writes into the folder, and
// a session it accepts is one the program can keep working with, so it encodes and reads back
// as the same session and passes the same check again.

#include "error.h"
#include "fuzzing.h"
#include "sessiondisk.h"

namespace Fuzz {

inline void checkSessionLoad(const uint8_t *data, size_t size)
{
    static const QString folder = scratch(QStringLiteral("session"));
    static const QStringList onlyTheDocument {QStringLiteral("session.json")};
    writeFile(SessionDisk::documentPath(folder), data, size);

    Session session;
    try {
        session = SessionDisk::load(folder);
    } catch (const Error &) {
        check(entries(folder) == onlyTheDocument, "a refused load writes nothing");
        return;
    }
    check(entries(folder) == onlyTheDocument, "a load writes nothing");

    // Encoded rather than saved: the same bytes as a save, without a disk flush on every run.
    QByteArray encoded;
    try {
        encoded = SessionDisk::encode(session);
    } catch (const Error &) {
        broken("a session that loads can be saved");
    }
    try {
        check(SessionDisk::decode(encoded, QStringLiteral("session.json")).validated() == session,
            "a saved session loads back the same");
    } catch (const Error &) {
        broken("a saved session loads back");
    }
}

} // namespace Fuzz
