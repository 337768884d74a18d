// The receive path of the real window, fed from the far side of a pseudo-terminal in random
// chunks. One window (offscreen) and one line serve every input. The input is a run of steps,
// each an operation byte and its arguments:
//   0-3  a chunk: a length byte, then the bytes the projector sends
//   4    a notification with an arbitrary event code (a byte)
//   5    the reply window closes (the Timer2 tick)
//   6    the last command becomes one of the nine queries or a plain command (a byte picks it)
//   7    the receive buffer is preloaded to just below its limit (a byte sets how far below)
// After every step: RecvBuf never exceeds Form1::RecvBufLimit; what arrived is appended byte
// for byte while there is room and dropped after; the received line is the rendering of the
// whole buffer; other event codes change nothing; the port stays open; the only warning the
// panel may raise is an out-of-range pressure reading.
#include "core/transcript.h"
#include "fuzz_check.h"
#include "panel/form1.h"
#include "serial/comm_port.h"
#include "sim/pty_pair.h"
#include "support/form1_test_seam.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QSerialPort>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

constexpr std::array<const char*, 10> kCommands{"CR0", "CR1",         "CR4", "CR3", "CR6",
                                                "CRA", "CR PRESSURE", "CR9", "CR7", "C00"};

struct Rig {
    PtyPair far;
    std::unique_ptr<Form1> form;
    QStringList warnings;

    Rig() {
        form = std::make_unique<Form1>(
            Form1::PortDevices{far.devicePath(), QStringLiteral("/dev/rmq27-fuzz-no-com2")});
        seam(*form).guard.setPresenter([this](const QString& d) { warnings << d; });
        form->formLoad();
    }

    QSerialPort& port() { return seam(*form).MSComm1->serialPort(); }

    // Lets the panel read whatever still waits on the line, until it stays quiet for quietMs.
    void drain(int quietMs) {
        while (port().waitForReadyRead(quietMs)) {
        }
    }
};

Rig* rig = nullptr;

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool more() const { return pos_ < size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    QByteArray run() {
        const size_t n = std::min<size_t>(byte(), size_ - pos_);
        QByteArray out(reinterpret_cast<const char*>(data_ + pos_), qsizetype(n));
        pos_ += n;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

void feed(const QByteArray& chunk) {
    Form1& f = *rig->form;
    const QString before = seam(f).RecvBuf;
    const qsizetype room = Form1::RecvBufLimit - before.size();
    const QString expected = room > 0 ? before + QString::fromLatin1(chunk).left(room) : before;
    const QString lineBefore = named<QLabel>(f, "Label12")->text();

    FUZZ_CHECK(rig->far.write(chunk) == chunk.size());
    const QDeadlineTimer deadline(5000);
    while (seam(f).RecvBuf.size() < expected.size() && !deadline.hasExpired()) {
        rig->port().waitForReadyRead(50);
    }
    if (room <= chunk.size()) {
        // Bytes beyond the limit are read and dropped: wait for the line to go quiet.
        rig->drain(2);
    }
    FUZZ_CHECK(seam(f).RecvBuf == expected);
    if (room > 0 && !chunk.isEmpty()) {
        FUZZ_CHECK(seam(f).WaitReply == 0);
        FUZZ_CHECK(named<QLabel>(f, "Label12")->text() == renderTranscript(seam(f).RecvBuf));
    } else {
        FUZZ_CHECK(named<QLabel>(f, "Label12")->text() == lineBefore);
    }
}

void otherEvent(qint16 code) {
    Form1& f = *rig->form;
    const QString buf = seam(f).RecvBuf;
    const QString line = named<QLabel>(f, "Label12")->text();
    const quint8 wait = seam(f).WaitReply;
    seam(f).MSComm1->raiseCommEvent(code);
    FUZZ_CHECK(seam(f).RecvBuf == buf);
    if (code != CommPort::ComEvReceive) {
        FUZZ_CHECK(named<QLabel>(f, "Label12")->text() == line && seam(f).WaitReply == wait);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    static int argc = 1;
    static char name[] = "fuzz_receive";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
    rig = new Rig;
    FUZZ_CHECK(seam(*rig->form).MSComm1->portOpen());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Form1& f = *rig->form;
    // Every step waits for its bytes, so nothing should still be on the line.
    rig->drain(0);
    seam(f).RecvBuf.clear();
    seam(f).SendCmd.clear();
    seam(f).WaitReply = 0;
    named<QLabel>(f, "Label12")->clear();
    named<QLabel>(f, "Label22")->clear();
    rig->warnings.clear();

    Input in(data, size);
    while (in.more()) {
        const uint8_t op = in.byte();
        switch (op % 8) {
        case 4:
            otherEvent(qint16(in.byte()) - 128);
            break;
        case 5:
            f.timer2Tick();
            FUZZ_CHECK(seam(f).RecvBuf.isEmpty());
            break;
        case 6:
            seam(f).SendCmd =
                QLatin1String(kCommands[in.byte() % kCommands.size()]) + QLatin1Char('\r');
            break;
        case 7:
            seam(f).RecvBuf = QString(Form1::RecvBufLimit - in.byte() % 64, QLatin1Char('8'));
            break;
        default:
            feed(in.run());
            break;
        }
        FUZZ_CHECK(seam(f).RecvBuf.size() <= Form1::RecvBufLimit);
        FUZZ_CHECK(seam(f).MSComm1->portOpen());
        for (const QString& w : rig->warnings) {
            FUZZ_CHECK(w.startsWith(QLatin1String("The pressure reading ")));
        }
    }
    return 0;
}
