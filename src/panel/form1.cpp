// The window: its controls from the form, its timers and serial control, and the wiring of every
// event to its handler through the failure guard.
#include "panel/form1.h"

#include "core/bindings.h"
#include "core/exchange_log.h"
#include "panel/accessibility.h"
#include "panel/form_setup.h"
#include "panel/picture_box.h"
#include "serial/comm_port.h"
#include "ui_form1.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

namespace {

// Sees every key press in the application before the focused control does, and shows the
// window those aimed at it; the window consumes only a key it hands on to the free-text line.
class KeyPreviewFilter : public QObject {
public:
    KeyPreviewFilter(Form1* form, std::function<bool(QObject*, QEvent*)> see)
        : QObject(form), see_(std::move(see)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        return event->type() == QEvent::KeyPress && see_(watched, event);
    }

private:
    std::function<bool(QObject*, QEvent*)> see_;
};

QTimer* makeTimer(QObject* owner, const char* name, int interval) {
    auto* timer = new QTimer(owner);
    timer->setObjectName(QLatin1String(name));
    timer->setInterval(interval);
    return timer;
}

} // namespace

Form1::Form1(const PortDevices& devices, TextBox textBox, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::Form1>()), Timer1(makeTimer(this, "Timer1", 200)),
      Timer2(makeTimer(this, "Timer2", 500)), Timer3(makeTimer(this, "Timer3", 5000)),
      Timer4(makeTimer(this, "Timer4", 1000)), MSComm1(new CommPort(this)), guard(this) {
    setUpForm(*ui, *this);
    Label11 = ui->Label11;
    Label12 = ui->Label12;
    Label22 = ui->Label22;
    Frame8 = ui->Frame8;
    Command34 = ui->Command34;
    Option1 = ui->Option1;
    describeCommands(*this);
    // The 5 ms cursor-pad pace is only 5 ms with a precise timer.
    Timer1->setTimerType(Qt::PreciseTimer);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    MSComm1->setDevice(1, devices.com1);
    MSComm1->setDevice(2, devices.com2);
    describePortOptions({});

    ui->Frame8->hide();
    ui->Frame8->raise();
    ui->Command34->hide();
    setClientHeightTwips(FullHeight);
    wireControls();
    if (textBox == TextBox::WithForm) {
        addTextBox();
    }
}

void Form1::addTextBox() {
    if (Text1) {
        return;
    }
    Text1 = ::addTextBox(*ui);
    // The free-text line gets the chord like any focused control, but it is not an editing key
    // there: some platforms bind Ctrl+K to "delete to the end of the line".
    Text1->installEventFilter(this);
}

QLineEdit& Form1::textBox() {
    addTextBox();
    return *Text1;
}

Form1::~Form1() {
    if (keyPreviewFilter_) {
        qApp->removeEventFilter(keyPreviewFilter_);
    }
}

void Form1::reportFailure(const QString& description) {
    guard.report(description);
}

void Form1::setLog(const QString& path) {
    if (path.isEmpty()) {
        log_.reset();
        return;
    }
    auto log = std::make_unique<ExchangeLog>();
    if (const std::optional<QString> warning = log->open(path)) {
        guard.report(*warning);
        return;
    }
    log_ = std::move(log);
}

void Form1::logEvent(ExchangeEvent::Kind kind, const QByteArray& bytes, const QString& message,
                     const std::optional<QString>& status) {
    if (!log_) {
        return;
    }
    const qint16 port = MSComm1->commPort();
    const ExchangeEvent event{
        kind, QStringLiteral("COM%1").arg(port), MSComm1->device(port), bytes, message, status};
    if (const std::optional<QString> warning = log_->write(event)) {
        // One warning, then the panel goes on without a log.
        log_.reset();
        guard.report(*warning);
    }
}

void Form1::rememberDevices(const PortDeviceChoice& choice, int transientPortNumber) {
    choice.watch(*MSComm1, transientPortNumber);
}

void Form1::describePortOptions(const QList<SerialPortEntry>& ports) {
    // The operator sees which device stands behind each port number.
    ui->Option1->setToolTip(portTooltip(1, MSComm1->device(1), ports));
    ui->Option2->setToolTip(portTooltip(2, MSComm1->device(2), ports));
}

void Form1::wireControls() {
    const auto guarded = [this](auto handler) {
        return [this, handler] { guard.run([this, handler] { (this->*handler)(); }); };
    };
    connect(Timer1, &QTimer::timeout, this, guarded(&Form1::timer1Tick));
    connect(Timer2, &QTimer::timeout, this, guarded(&Form1::timer2Tick));
    connect(Timer3, &QTimer::timeout, this, guarded(&Form1::timer3Tick));
    connect(Timer4, &QTimer::timeout, this, guarded(&Form1::timer4Tick));
    connect(MSComm1, &CommPort::onComm, this, guarded(&Form1::mscomm1OnComm));
    connect(MSComm1, &CommPort::openChanged, this, [this](bool open) {
        logEvent(open ? ExchangeEvent::Kind::Opened : ExchangeEvent::Kind::Closed);
    });
    // Every failure the operator is shown is in the log too (a loss is logged as such instead).
    guard.setObserver(
        [this](const QString& description) { logEvent(failureKind_, {}, description); });
    // A device that vanishes ends any hold with it, so the loss is the one thing reported.
    connect(MSComm1, &CommPort::lost, this, [this](const Failure& failure) {
        endHoldAfterFailure();
        failureKind_ = ExchangeEvent::Kind::Lost;
        guard.report(failure.text(panelRemedyWords()));
        failureKind_ = ExchangeEvent::Kind::Failed;
    });

    // Every click on an option runs its handler, also a click on the option already selected:
    // that is how the operator reopens a port that was lost or failed to open.
    const auto onClicked = [this](QRadioButton* option, auto work) {
        connect(option, &QRadioButton::clicked, this, [this, work] { guard.run(work); });
    };
    onClicked(ui->Option1, [this] { portSwitch(1, 2); });
    onClicked(ui->Option2, [this] { portSwitch(2, 1); });
    onClicked(ui->Option9, [this] { baudSwitch(QStringLiteral("19200,N,8,1"), ui->Option10); });
    onClicked(ui->Option10, [this] { baudSwitch(QStringLiteral("9600,N,8,1"), ui->Option9); });

    connect(ui->Command16, &QPushButton::clicked, this, guarded(&Form1::command16Click));
    connect(ui->Command33, &QPushButton::clicked, this, guarded(&Form1::command33Click));
    connect(ui->Command34, &QPushButton::clicked, this, guarded(&Form1::command34Click));
    connect(ui->Command95, &QPushButton::clicked, this, guarded(&Form1::command95Click));
    connect(ui->Command96, &QPushButton::clicked, this, guarded(&Form1::command96Click));
    connect(ui->Image1, &PictureBox::doubleClicked, this, guarded(&Form1::image1DblClick));

    for (const OneShotBinding& binding : oneShotBindings()) {
        auto* button = findChild<QAbstractButton*>(QLatin1String(binding.control));
        Q_ASSERT(button);
        connect(button, &QAbstractButton::clicked, this,
                [this, &binding] { guard.run([this, &binding] { oneShotClick(binding); }); });
    }
    // Hold buttons act on the mouse press and release only; they have no click action, so the
    // keyboard, which turns a key into a click, sends nothing from them.
    for (const HoldBinding& hold : holdBindings()) {
        auto* button = findChild<QAbstractButton*>(QLatin1String(hold.control));
        Q_ASSERT(button);
        button->installEventFilter(this);
    }

    keyPreviewFilter_ = new KeyPreviewFilter(
        this, [this](QObject* watched, QEvent* event) { return keyPreview(watched, event); });
    qApp->installEventFilter(keyPreviewFilter_);
}

bool Form1::keyPreview(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this) {
        return false;
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    guard.run([this, key] { formKeyDown(key->key(), key->modifiers()); });
    // Text typed before the free-text line is made (it comes after the first frame) is meant
    // for it: the line is made at once, takes the focus and the key, so nothing typed is lost.
    const bool typed = !key->text().isEmpty() && key->text().at(0).isPrint() &&
                       !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
    if (Text1 || !typed) {
        return false;
    }
    addTextBox();
    Text1->setFocus(Qt::OtherFocusReason);
    QKeyEvent forLine(key->type(), key->key(), key->modifiers(), key->text(), key->isAutoRepeat(),
                      ushort(key->count()));
    QCoreApplication::sendEvent(Text1, &forLine);
    return true;
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Text1) {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            return isServiceChord(key->key(), key->modifiers());
        }
        return QWidget::eventFilter(watched, event);
    }
    auto* button = qobject_cast<QAbstractButton*>(watched);
    if (!button) {
        return QWidget::eventFilter(watched, event);
    }
    // Every press of any mouse button runs the press handler and every release the release
    // handler; the platform routes both to the pressed button until the last button is up.
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        guard.run([this, button] { holdPress(button); });
        break;
    case QEvent::MouseButtonRelease:
        guard.run([this, button] { holdRelease(button); });
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}
