#pragma once

class QTcpSocket;

// With no FIN or RST from a server that lost power or a network that dropped the connection, the
// system would keep the connection for many minutes. Probes after a few idle seconds, and a limit
// on data left unacknowledged, end it within about fifteen seconds instead, and the loss reaches
// the operator. Best effort: a system without these options keeps its own timing.
void watchForSilence(QTcpSocket& socket);
