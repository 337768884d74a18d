#pragma once

#include "core/exchange_event.h"
#include "core/exchange_frame.h"
#include "panel/failure_guard.h"
#include "serial/port_devices.h"

#include <QString>
#include <QWidget>
#include <memory>
#include <optional>

class CommandButton;
class CommPort;
class DisplayLine;
class ExchangeLog;
class QAbstractButton;
class QFrame;
class QLineEdit;
class QRadioButton;
struct OneShotBinding;
struct HoldBinding;
class QTimer;
namespace Ui {
class Form1;
}

// The one window. It owns every control, the four timers, the serial control and the ten state
// fields for the whole run. Its handlers live one concern a file: start-up and Hyouji
// (form1_startup.cpp), the port and receive handlers (form1_port.cpp), the reply and display
// timers (form1_timers.cpp), press-and-hold (form1_hold.cpp), the command buttons
// (form1_buttons.cpp), the service views and the free-text line (form1_service.cpp), and the
// wiring of every event to its handler through the failure guard (form1.cpp).
//
// Its controls are found by object name, as any user of the window finds them; the state fields,
// the timers, the serial control and the guard are private, and Form1TestSeam is the one way in
// for tests and tools (tests/support/form1_test_seam.h; no part of the program).
class Form1 : public QWidget {
    Q_OBJECT
public:
    // Devices for COM1 and COM2; an empty string keeps the platform's default.
    struct PortDevices {
        QString com1;
        QString com2;
    };

    // When the free-text line Text1 is made: with the rest of the window, or later by
    // addTextBox(), as the panel's own start does once the first frame is on the screen (the line
    // lies below the start height, and making it loads fonts). Its buttons make it on first use.
    enum class TextBox { WithForm, Later };

    explicit Form1(const PortDevices& devices = {}, TextBox textBox = TextBox::WithForm,
                   QWidget* parent = nullptr);
    ~Form1() override;

    // Makes the free-text line, if the window was made without it.
    void addTextBox();

    // Remembers in `choice`'s file every device that opens, except on the transient port number.
    void rememberDevices(const PortDeviceChoice& choice, int transientPortNumber);
    // Names the device behind each port option in its tooltip, with the description the system
    // gives for it among `ports`.
    void describePortOptions(const QList<SerialPortEntry>& ports);
    // Shows a failure found outside the window's own handlers, as the window shows its own.
    void reportFailure(const QString& description);
    // Appends every event of the line from now on to the file (--log FILE): sends, replies,
    // reply windows that close empty, the port opening, closing, lost, and every failure shown.
    // A file that cannot be opened or written is one warning, and the panel goes on without it.
    // An empty path ends the log.
    void setLog(const QString& path);

    // Received text kept for one reply window; anything beyond is read and dropped (the received
    // line shows only its beginning anyway).
    static constexpr qsizetype RecvBufLimit = ReceiveLimit;

    // Client heights in twips for the four window heights, and the boundary Command34 compares
    // against (the outer 6000-twip test, less the 370 twips of title bar and border).
    static constexpr int StartHeight = 4980;
    static constexpr int DataViewHeight = 6275;
    static constexpr int ServiceHeight = 6830;
    static constexpr int FullHeight = 8730;
    static constexpr int ToggleBoundary = 5630;
    static constexpr int Width = 9495;
    // Title bar and border of the designed outer height (9100 = 8730 + 370).
    static constexpr int FrameAllowance = 370;

    // The handlers. Each entry from the event loop runs one of them through the failure guard;
    // called directly, a failure comes out as a StepFailure.

    // Start-up, the send-and-show routine and the end.
    void formLoad();
    void Hyouji(const QString& text, const quint8& mode);
    void command16Click();

    // The settings group and the receive path.
    void portSwitch(qint16 target, qint16 fallback);
    // `other` is the speed's other option, checked again when the port refuses the change (a
    // bridge sets the line for all its users).
    void baudSwitch(const QString& settings, QAbstractButton* other);
    void mscomm1OnComm();

    // The reply window, the display period and the settings group's time.
    void timer2Tick();
    void timer3Tick();
    void timer4Tick();

    // Press-and-hold.
    void holdPress(QAbstractButton* button);
    void holdRelease(QAbstractButton* button);
    void timer1Tick();
    // A failure (a failed press or tick, a lost device) ends the hold in progress exactly as its
    // release would: the warning box may swallow the operator's own release, so it cannot be
    // waited for. Releases that come afterwards change nothing more.
    void endHoldAfterFailure();

    // The command buttons, the service views and the free-text line.
    void oneShotClick(const OneShotBinding& binding);
    void formKeyDown(int key, Qt::KeyboardModifiers modifiers);
    // Ctrl+K: Ctrl alone of Shift, Ctrl and Alt, with K.
    static bool isServiceChord(int key, Qt::KeyboardModifiers modifiers);
    void image1DblClick();
    void command34Click();
    void command95Click();
    void command96Click();
    void command33Click();

    // The client-area height in twips; the width never changes.
    int clientHeightTwips() const { return heightTwips_; }
    void setClientHeightTwips(int twips);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    friend class Form1TestSeam;

    // The state fields, in their declared order.
    quint8 HoldCode = 0;
    quint8 WaitReply = 0;
    quint8 PadMode = 0;
    QString SendCmd;
    QString RecvBuf;
    qint16 PressVal = 0;
    qint16 PanelUnlock = 0;
    QString FreeText;
    QString CommSettings;
    QString CmdPrefix;

    std::unique_ptr<Ui::Form1> ui;
    // The controls the handlers outside form1.cpp use, by their stored names, set once from the
    // form: only form1.cpp and the form's set-up read the generated form, so a change of the form
    // recompiles those alone.
    DisplayLine* Label11 = nullptr;
    DisplayLine* Label12 = nullptr;
    DisplayLine* Label22 = nullptr;
    QFrame* Frame8 = nullptr;
    CommandButton* Command34 = nullptr;
    QRadioButton* Option1 = nullptr;
    QTimer* Timer1;
    QTimer* Timer2;
    QTimer* Timer3;
    QTimer* Timer4;
    CommPort* MSComm1;
    FailureGuard guard;
    QLineEdit* Text1 = nullptr;

    // The one send routine: SendCmd = CmdPrefix + code + CR, then Hyouji(SendCmd, 1).
    void send(const QString& code);
    // send() for a hold: a failure ends the hold before it goes on to the guard.
    void sendHeld(const QString& code);
    void setReplyWindow(int replyMs, int displayMs);

    void wireControls();
    void runReplyDecoder();
    void centreOnScreen();
    // Sees a key press aimed at the window; true when it took the key for the free-text line.
    bool keyPreview(QObject* watched, QEvent* event);
    void releaseSteps(const HoldBinding& hold);
    // The free-text line, made first if need be.
    QLineEdit& textBox();

    void logEvent(ExchangeEvent::Kind kind, const QByteArray& bytes = {},
                  const QString& message = {}, const std::optional<QString>& status = {});

    int heightTwips_ = FullHeight;
    std::unique_ptr<ExchangeLog> log_;
    // What the last decode gave: the status reading or the failure's description, for the log.
    std::optional<QString> decoded_;
    // How a failure shown now is logged: a lost device, or any other failure.
    ExchangeEvent::Kind failureKind_ = ExchangeEvent::Kind::Failed;
    // Set when a failure has ended the hold; the releases of that press are then spent. The next
    // press clears it.
    bool holdEndedByFailure_ = false;
    QObject* keyPreviewFilter_ = nullptr;
    // Whether the status line has shown a reading since the last send: a reply read again as its
    // pieces arrive is announced once, the same reading asked for again once more.
    bool readingSinceSend_ = false;
};

// Starts a timer's countdown afresh, whether or not it was running.
void enableTimer(QTimer* timer);
