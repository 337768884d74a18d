#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

// A PJLink client over a plain socket, for tests with the bridge in the same thread: reads the
// greeting, sends lines, collects whole replies, waiting by running the event loop.
struct PjlinkTestClient {
    static constexpr int WaitMs = 15000;

    QTcpSocket socket;
    QByteArray received;

    bool connect(quint16 port, const QHostAddress& host = QHostAddress(QHostAddress::LocalHost)) {
        socket.connectToHost(host, port);
        QElapsedTimer t;
        t.start();
        while (socket.state() != QAbstractSocket::ConnectedState && t.elapsed() < WaitMs) {
            QTest::qWait(5);
        }
        return socket.state() == QAbstractSocket::ConnectedState;
    }
    // The next CR-terminated line within the wait, without its CR; empty when none came.
    QByteArray line() {
        QElapsedTimer t;
        t.start();
        // The server runs in this thread: wait by running the event loop, never by blocking.
        while (!received.contains('\r') && t.elapsed() < WaitMs &&
               socket.state() == QAbstractSocket::ConnectedState) {
            QTest::qWait(5);
            received += socket.readAll();
        }
        received += socket.readAll();
        const qsizetype cr = received.indexOf('\r');
        if (cr < 0) {
            return QByteArray();
        }
        const QByteArray l = received.left(cr);
        received.remove(0, cr + 1);
        return l;
    }
    QByteArray ask(const QByteArray& command) {
        socket.write(command + '\r');
        return line();
    }
    bool closedByPeer() {
        QElapsedTimer t;
        t.start();
        while (socket.state() != QAbstractSocket::UnconnectedState && t.elapsed() < WaitMs) {
            QTest::qWait(5);
            received += socket.readAll();
        }
        return socket.state() == QAbstractSocket::UnconnectedState;
    }
};
