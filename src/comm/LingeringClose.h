#pragma once

class QTcpSocket;

namespace Comm {

// Ends a connection once the station's last answer (an error, a goodbye) has
// gone out, and deletes the socket when the peer has hung up too, or after
// graceMs at the latest.
//
// A socket closed while bytes the peer sent still wait unread in it is reset
// rather than closed, and a reset drops whatever of the last answer the
// system had not sent yet: a terminal that was still sending when it was
// refused would lose the reason. So a plain connection is closed for writing
// only, and what the peer still sends is read and dropped until it closes
// its side. TLS closes with a record of its own, which Qt sends. Without
// linger the connection is closed as soon as the answer has gone out, for
// when too many peers already keep the station waiting for their side.
void closeAfterLastAnswer(QTcpSocket *socket, int graceMs, bool linger);

} // namespace Comm
