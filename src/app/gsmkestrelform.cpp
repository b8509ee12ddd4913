#include "app/gsmkestrelform.h"

#include "app/detectdialog.h"
#include "app/glyphs.h"
#include "app/messagesview.h"
#include "app/operators.h"
#include "app/pictureeditor.h"
#include "base/convert.h"
#include "base/format.h"
#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "gsm/smscontext.h"
#include "terminal/terminal.h"
#include "ui_gsmkestrelform.h"
#include "xsms/ems.h"
#include "xsms/melody.h"
#include "xsms/ringtone.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSaveFile>
#include <QTimer>

#include <algorithm>
#include <exception>

namespace kestrel {

namespace {

constexpr int kTabModem = 0;
constexpr int kTabSMS = 1;
constexpr int kTabModemLog = 3;
// The editors take no more than this from the size edits, so a typing slip cannot ask for a
// bitmap of gigabytes.
constexpr int kMaxPictureSide = 1024;
constexpr int kMaxFrames = 16;
constexpr qint64 kMaxMelodyFile = 1024 * 1024;

int editNumber(const QLineEdit *edit)
{
    bool ok = false;
    int v = edit->text().trimmed().toInt(&ok);
    return ok ? v : 0;
}

// The size an EMS picture or animation class starts with; false for a class of no fixed size.
bool emsDefaultSize(int type, int &width, int &height)
{
    std::unique_ptr<TEMSPicture> picture;
    std::unique_ptr<TEMSAnimation> animation;
    switch (type) {
    case etPictureSmall:
        picture = std::make_unique<TEMSPictureSmall>();
        break;
    case etPictureLarge:
        picture = std::make_unique<TEMSPictureLarge>();
        break;
    case etPictureVariable:
        picture = std::make_unique<TEMSPictureVariable>();
        break;
    case etAnimationSmall:
        animation = std::make_unique<TEMSAnimationSmall>();
        break;
    case etAnimationLarge:
        animation = std::make_unique<TEMSAnimationLarge>();
        break;
    default:
        return false;
    }
    width = picture ? picture->Width() : animation->Width();
    height = picture ? picture->Height() : animation->Height();
    return width > 0 && height > 0;
}

// The editor's bitmap as the composer reads it: set pixels black (0), the others white.
QImage blackAndWhite(const QImage &picture)
{
    QImage out(picture.size(), QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            out.setPixel(x, y, PicturePixelSet(picture, x, y) ? 0xFF000000u : kPictureWhite);
    return out;
}

} // namespace

TGSMKestrelForm::TGSMKestrelForm(TGSMDataModule &dataModule, const QStringList &arguments, QWidget *parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::GSMKestrelForm>()), m_dm(dataModule),
      m_arguments(arguments)
{
    ui->setupUi(this);
    Confirm = [this](const QString &question) {
        return QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    };
    ShowError = [this](const QString &message) { QMessageBox::critical(this, windowTitle(), message); };
    formCreate();
    connectHandlers();
    m_dm.AddForm(this);
}

TGSMKestrelForm::~TGSMKestrelForm()
{
    // A search ends within its deadline of a few seconds; what it posts is dropped with this window.
    if (m_detectThread.joinable())
        m_detectThread.join();
    m_dm.RemoveForm(this);
    if (m_dm.ModemLogView == ui->ModemLog)
        m_dm.ModemLogView = nullptr;
    if (m_dm.SMSLogView == ui->SMSLog)
        m_dm.SMSLogView = nullptr;
    m_dm.Comm1.OnRxChar = nullptr; // the typing handler refers to this window's view
}

void TGSMKestrelForm::formCreate()
{
    m_dm.ModemLogView = ui->ModemLog;
    m_dm.SMSLogView = ui->SMSLog;
    for (TTerminal *t : {ui->ModemLog, ui->SMSLog}) {
        t->SetMaxLines(30);
        t->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        t->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }
    ui->PageControl1->setCurrentIndex(kTabModem);
    for (const char *caption : GSMEquipmentCaptions)
        ui->ModemComboBox->addItem(caption);
    setWindowTitle(
        QString::fromStdString(Format("GSM Kestrel [%s]", GSMEquipmentCaptions[m_dm.GSM.Equipment()])));
    ui->IndNetRegStatus->setIcon(GlyphImage(0));
    ui->Semafor->setIcon(GlyphImage(0));
    ui->StatusBar->addPermanentWidget(ui->Semafor);
    ui->StatusBar->installEventFilter(this);
    ui->DCS->setCurrentIndex(2);
    ui->PictureOperator->addItems(OperatorList());

    auto dialog = [this](const char *name, QFileDialog::AcceptMode mode, const QString &title,
                         const QString &suffix, const QStringList &filters) {
        auto *d = new QFileDialog(this, title);
        d->setObjectName(name);
        d->setAcceptMode(mode);
        d->setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        d->setDefaultSuffix(suffix);
        if (!filters.isEmpty())
            d->setNameFilters(filters);
        return d;
    };
    const QStringList logFilters{"Log Files (*.log)", "All Files (*)"};
    SMSLogSaveDialog =
        dialog("SMSLogSaveDialog", QFileDialog::AcceptSave, "SMS Log File Selection", "log", logFilters);
    GSMLogSaveDialog = dialog("GSMLogSaveDialog", QFileDialog::AcceptSave, "AT Commands Log File Selection",
                              "log", logFilters);
    const QStringList pictureFilters{"Pictures (*.bmp *.png *.xpm *.pbm *.gif *.jpg)", "All files (*)"};
    OpenPictureDialog =
        dialog("OpenPictureDialog", QFileDialog::AcceptOpen, "Load bitmap", "bmp", pictureFilters);
    SavePictureDialog =
        dialog("SavePictureDialog", QFileDialog::AcceptSave, "Save bitmap", "bmp", pictureFilters);
    OpenMelodyDialog = dialog("OpenMelodyDialog", QFileDialog::AcceptOpen, "Load melody", "txt",
                              {"Text files (*.txt)", "RTTTL files (*.rtt*)", "All files (*)"});
    SaveMelodyDialog = dialog("SaveMelodyDialog", QFileDialog::AcceptSave, "Save melody", "txt",
                              {"Text files (*.txt)", "RTTTL files (*.rtt)", "All files (*)"});

    m_picture = NewPicture(72, 28);
    ui->Picture->SetPicture(&m_picture);
    setupMelodyEditor();
    setupMessagesView();
}

void TGSMKestrelForm::setupMessagesView()
{
    m_messagesView = new TMessagesView(ui->PageControl1);
    ui->PageControl1->addTab(m_messagesView, "Messages");
    m_messagesView->SetComposer(&m_composer);
    m_messagesView->ShowError = [this](const QString &message) {
        if (ShowError)
            ShowError(message);
    };
    m_messagesView->OnReply = [this](const std::string &peer, const QString &text) { SendReply(peer, text); };
    m_messagesView->OnOpenPicture = [this](const TMessagePicture &picture) { OpenInPictureEditor(picture); };
    m_messagesView->OnOpenMelody = [this](const TMessageMelody &melody) { OpenInMelodyEditor(melody); };
    syncMessageStore();
}

void TGSMKestrelForm::syncMessageStore()
{
    // The data module opens its store at the first use and may open another after a change of
    // its location: the view follows it.
    TMessageStore *store = m_dm.Store();
    if (store != m_messagesView->Store())
        m_messagesView->SetStore(store);
}

void TGSMKestrelForm::ShowMessagesTab()
{
    ui->PageControl1->setCurrentWidget(m_messagesView);
}

void TGSMKestrelForm::SetMessageStore(TMessageStore *store)
{
    m_messagesView->SetStore(store);
}

void TGSMKestrelForm::setupMelodyEditor()
{
    QComboBox *editors[kMelodyColumns] = {ui->MelodyScale,     ui->MelodyNote,  ui->MelodyDuration,
                                          ui->MelodyDuration2, ui->MelodyTempo, ui->MelodyStyle,
                                          ui->MelodyVolume};
    ui->MelodyGrid->setColumnCount(kMelodyColumns);
    ui->MelodyGrid->setHorizontalHeaderLabels(MelodyColumnTitles());
    for (int c = 0; c < kMelodyColumns; ++c) {
        editors[c]->addItems(MelodyColumnItems(c));
        editors[c]->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    }
    SetEditorValues(TMelodyTable::HeaderDefaults());
    for (int c = 0; c < kMelodyColumns; ++c)
        ui->MelodyGrid->setColumnWidth(c, editors[c]->sizeHint().width() + ui->melodyEditorLayout->spacing());
    ui->MelodyGrid->setShowGrid(true);
    MelodyToGrid();
}

void TGSMKestrelForm::connectHandlers()
{
    auto on = [this](auto *sender, auto signal, std::function<void()> handler) {
        connect(sender, signal, this, [this, handler] { guarded(handler); });
    };
    on(ui->SpeedButton3, &QToolButton::clicked, [this] { SpeedButton3Click(ui->SpeedButton3); });
    on(ui->SpeedButton4, &QToolButton::clicked, [this] { SpeedButton3Click(ui->SpeedButton4); });
    on(ui->SpeedButton1, &QToolButton::clicked, [this] { SpeedButton1Click(); });
    on(ui->IndNetRegStatus, &QToolButton::clicked, [this] { IndNetRegStatusClick(); });
    on(ui->SMSLOGCheckBox, &QCheckBox::clicked, [this] { SMSLOGCheckBoxClick(); });
    on(ui->GSMLOGCheckBox, &QCheckBox::clicked, [this] { GSMLOGCheckBoxClick(); });
    on(ui->SMSLogButton, &QPushButton::clicked, [this] { SMSLogButtonClick(); });
    on(ui->GSMLogButton, &QPushButton::clicked, [this] { GSMLogButtonClick(); });
    on(ui->SMSKind, &QComboBox::currentIndexChanged, [this] { SMSKindChange(); });
    on(ui->SMSKind2, &QComboBox::currentIndexChanged, [this] { SMSKindChange(); });
    on(ui->Blink, &QPushButton::clicked, [this] { BlinkClick(); });
    on(ui->BitBtn1, &QPushButton::clicked, [this] { BitBtn1Click(); });
    on(ui->DetectButton, &QPushButton::clicked, [this] { DetectClick(); });
    on(ui->Message, &QLineEdit::textChanged, [this] { updateMessageCounter(); });
    ui->ModemLog->OnKeyPress = [this](QObject *sender, char &key) {
        guarded([&] { ModemLogKeyPress(sender, key); });
        key = 0; // a key that failed to go out is not typed into the view either
    };

    // Picture editor.
    on(ui->PictureWidth, &QLineEdit::editingFinished, [this] { ResizePicture(); });
    on(ui->PictureHeight, &QLineEdit::editingFinished, [this] { ResizePicture(); });
    on(ui->Button2, &QPushButton::clicked, [this] {
        if (OpenPictureDialog->exec() == QDialog::Accepted)
            LoadPicture(OpenPictureDialog->selectedFiles().value(0));
    });
    on(ui->Button3, &QPushButton::clicked, [this] {
        if (SavePictureDialog->exec() == QDialog::Accepted)
            SavePicture(SavePictureDialog->selectedFiles().value(0));
    });

    // Melody editor.
    on(ui->Button5, &QPushButton::clicked, [this] { MelodyPlus(); });
    on(ui->Button6, &QPushButton::clicked, [this] { MelodyMinus(); });
    on(ui->MelodyGrid, &QTableWidget::cellDoubleClicked, [this] { RowToEditors(); });
    connect(ui->MelodyGrid, &QTableWidget::currentCellChanged, this,
            [this](int row) { m_melody.SetCurrentRow(row + 1); });
    on(ui->Button1, &QPushButton::clicked, [this] {
        if (OpenMelodyDialog->exec() == QDialog::Accepted)
            LoadMelody(OpenMelodyDialog->selectedFiles().value(0));
    });
    on(ui->Button4, &QPushButton::clicked, [this] {
        if (SaveMelodyDialog->exec() == QDialog::Accepted)
            SaveMelody(SaveMelodyDialog->selectedFiles().value(0));
    });
    for (QComboBox *c : {ui->MelodyScale, ui->MelodyNote})
        connect(c, &QComboBox::currentIndexChanged, this, [this] {
            ui->MelodyKeyboard->SetSelection(ui->MelodyScale->currentIndex(), ui->MelodyNote->currentIndex());
        });
    ui->MelodyKeyboard->OnKeyDown = [this](int scale, int note) {
        ui->MelodyScale->setCurrentIndex(scale);
        ui->MelodyNote->setCurrentIndex(note);
    };
    ui->MelodyKeyboard->OnKeyUp = [this](int duration) {
        guarded([&] {
            ui->MelodyDuration->setCurrentIndex(duration);
            MelodyPlus();
        });
    };
}

void TGSMKestrelForm::guarded(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const std::exception &e) {
        if (ShowError)
            ShowError(QString::fromStdString(e.what()));
    }
}

void TGSMKestrelForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        guarded([this] { formShow(); });
    }
}

void TGSMKestrelForm::formShow()
{
    EngineToControls();
    ui->SMSKind->setCurrentIndex(0);
    SMSKindChange();
    for (const QString &a : m_arguments.mid(1))
        if (a.size() > 1 && (a[0] == '-' || a[0] == '/') &&
            a.mid(1).compare("START", Qt::CaseInsensitive) == 0) {
            // Once the event loop runs: a window closed during the login (a signal) must be able
            // to end the loop, which it cannot before the loop has started.
            QTimer::singleShot(0, this, [this] { guarded([this] { SpeedButton3Click(ui->SpeedButton3); }); });
            break;
        }
    showHint(kOwnHint);
}

bool TGSMKestrelForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->StatusBar && event->type() == QEvent::MouseButtonPress)
        StatusBarClick();
    return QMainWindow::eventFilter(watched, event);
}

void TGSMKestrelForm::showHint(const QString &hint)
{
    ui->StatusBar->showMessage(hint.section('|', 0, 0));
}

void TGSMKestrelForm::StatusBarClick()
{
    showHint(kOwnHint);
}

// ---- Modem tab

void TGSMKestrelForm::BeginModemAction()
{
    if (ui->AutoShowModemLog->isChecked()) {
        m_savedPage = ui->PageControl1->currentIndex();
        ui->PageControl1->setCurrentIndex(kTabModemLog);
        // Paint the log before the modem blocks; clicks wait until the action is over.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}

void TGSMKestrelForm::EndModemAction()
{
    if (ui->AutoShowModemLog->isChecked())
        ui->PageControl1->setCurrentIndex(m_savedPage);
}

void TGSMKestrelForm::CheckDeviceActive() const
{
    if (!m_dm.GSM.Active())
        throw EGSMError("Device is not active");
}

void TGSMKestrelForm::SpeedButton3Click(QObject *sender)
{
    const bool on = sender->property("Tag").toInt() != 0;
    BeginModemAction();
    try {
        if (on) {
            m_dm.Comm1.Close(); // it may be open for typing
            ControlsToEngine();
        }
        m_dm.GSM.SetActive(on);
    } catch (...) {
        EndModemAction();
        throw;
    }
    EndModemAction();
}

void TGSMKestrelForm::SpeedButton1Click()
{
    BeginModemAction();
    try {
        m_dm.GSM.SwitchOff();
    } catch (...) {
        EndModemAction();
        throw;
    }
    EndModemAction();
}

void TGSMKestrelForm::IndNetRegStatusClick()
{
    CheckDeviceActive();
    std::vector<std::string> lines;
    if (m_dm.GSM.ExecCommand("AT+CSQ", 0x13, &lines) != 0 || lines.empty())
        return;
    std::string first = lines.front();
    if (auto colon = first.find(':'); colon != std::string::npos)
        first.erase(0, colon + 1);
    first = first.substr(0, first.find(','));
    int rssi = StrToInt(QString::fromStdString(first).trimmed().toStdString());
    ui->IndNetRegStatus->setText(rssi == 99 ? QString("?")
                                            : QString::fromStdString(Format("%d dBm", 2 * rssi - 113)));
}

void TGSMKestrelForm::openForTyping()
{
    TComm &port = m_dm.Comm1;
    // The port stays open between keys: closing it after every key would drop what the handset
    // has not yet read of the keys before. "On" closes it before the engine takes it over.
    if (!m_dm.GSM.Active() && !port.Active() && !port.OnRxChar) {
        // Show what the handset answers to typed commands until the engine takes the port over
        // (its handler then shows them).
        TTerminal *view = ui->ModemLog;
        port.OnRxChar = [&port, view](TObject *, int count) { view->AddText(port.ReadString(count)); };
    }
    port.Open();
}

void TGSMKestrelForm::ModemLogKeyPress(QObject *, char &Key)
{
    const char c = Key;
    Key = 0;
    openForTyping();
    m_dm.Comm1.WriteString(std::string(1, c));
}

void TGSMKestrelForm::SMSLOGCheckBoxClick()
{
    ui->SMSLogButton->setEnabled(ui->SMSLOGCheckBox->isChecked());
}

void TGSMKestrelForm::GSMLOGCheckBoxClick()
{
    ui->GSMLogButton->setEnabled(ui->GSMLOGCheckBox->isChecked());
}

void TGSMKestrelForm::SMSLogButtonClick()
{
    if (!ui->SMSLOGCheckBox->isChecked())
        return;
    SMSLogSaveDialog->selectFile(QString::fromStdString(m_dm.SMSLogName));
    if (SMSLogSaveDialog->exec() == QDialog::Accepted && !SMSLogSaveDialog->selectedFiles().isEmpty()) {
        m_smsLogFile = SMSLogSaveDialog->selectedFiles().front().toStdString();
        m_dm.SMSLogName = m_smsLogFile;
    } else {
        m_smsLogFile = m_dm.SMSLogName;
    }
}

void TGSMKestrelForm::GSMLogButtonClick()
{
    if (!ui->GSMLOGCheckBox->isChecked())
        return;
    GSMLogSaveDialog->selectFile(QString::fromStdString(m_dm.GSMLogName));
    if (GSMLogSaveDialog->exec() == QDialog::Accepted && !GSMLogSaveDialog->selectedFiles().isEmpty()) {
        m_gsmLogFile = GSMLogSaveDialog->selectedFiles().front().toStdString();
        m_dm.GSMLogName = m_gsmLogFile;
    } else {
        m_gsmLogFile = m_dm.GSMLogName;
    }
}

void TGSMKestrelForm::DetectClick()
{
    if (m_detectThread.joinable() || m_dm.GSM.Active())
        return;
    m_dm.Comm1.Close(); // it may be open for typing, which would lock its device against the probe
    std::vector<TSerialDevice> devices = ListDevices ? ListDevices() : std::vector<TSerialDevice>();
    for (const std::string &extra : ExtraDetectDevices) {
        TSerialDevice d = DescribeSerialDevice(extra);
        if (std::none_of(devices.begin(), devices.end(), [&](const auto &x) { return x.device == d.device; }))
            devices.push_back(d);
    }
    ui->DetectButton->setEnabled(false);
    ui->StatusBar->showMessage("Looking for modems ...");
    m_detectThread = std::thread([this, devices] {
        std::vector<TDetectResult> results = DetectModems(devices);
        QMetaObject::invokeMethod(
            this, [this, results = std::move(results)]() mutable { detectFinished(std::move(results)); },
            Qt::QueuedConnection);
    });
}

void TGSMKestrelForm::detectFinished(std::vector<TDetectResult> results)
{
    if (m_detectThread.joinable())
        m_detectThread.join();
    ui->DetectButton->setEnabled(!m_dm.GSM.Active()); // the user may have logged in meanwhile
    const auto modems =
        std::count_if(results.begin(), results.end(), [](const auto &r) { return r.IsModem(); });
    ui->StatusBar->showMessage(QString("%1 modem(s) found on %2 device(s)").arg(modems).arg(results.size()));
    auto *dialog = new TDetectDialog(std::move(results), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        if (const TDetectResult *r = dialog->Selected())
            guarded([&] { useDetected(*r); });
    });
    dialog->open();
}

void TGSMKestrelForm::useDetected(const TDetectResult &r)
{
    ui->DeviceNameEdit->setText(QString::fromStdString(TDetectDialog::DeviceToUse(r)));
    if (r.equipment) {
        ui->ModemComboBox->setCurrentIndex(*r.equipment);
        // PDU mode where the modem and its type have it, else text mode.
        const bool pdu = std::find(r.formats.begin(), r.formats.end(), "pdu") != r.formats.end() &&
                         SupportsFormat(*r.equipment, kSMSFormatPDU);
        ui->SMSFormat->setCurrentIndex(pdu ? kSMSFormatPDU : kSMSFormatText);
    }
}

void TGSMKestrelForm::EngineToControls()
{
    const TGSM &gsm = m_dm.GSM;
    ui->ModemComboBox->setCurrentIndex(gsm.Equipment());
    ui->SCAEdit->setText(QString::fromStdString(gsm.SCA()));
    ui->PinEdit->setText(QString::fromStdString(gsm.PIN()));
    ui->SMSFormat->setCurrentIndex(gsm.SMSFormat());
    const auto set = gsm.UnsolicitedIndication();
    ui->CatchSMSMT->setChecked(set & Bit(uindSMSDeliver));
    ui->CatchSMSCB->setChecked(set & Bit(uindCellBroadcast));
    ui->CatchSMSDS->setChecked(set & Bit(uindSMSStatusReport));
    ui->OnlyIndication->setChecked(set & Bit(uindOnlyIndication));
    ui->DeviceNameEdit->setText(QString::fromStdString(m_dm.Comm1.DeviceName()));
    ui->SMSLOGCheckBox->setChecked(m_dm.SMSLogName != "<none>");
    ui->GSMLOGCheckBox->setChecked(m_dm.GSMLogName != "<none>");
    // An unchecked box keeps the last real file name to offer when it is checked again.
    if (m_dm.SMSLogName != "<none>" || m_smsLogFile.empty())
        m_smsLogFile = m_dm.SMSLogName;
    if (m_dm.GSMLogName != "<none>" || m_gsmLogFile.empty())
        m_gsmLogFile = m_dm.GSMLogName;
    SMSLOGCheckBoxClick();
    GSMLOGCheckBoxClick();
}

void TGSMKestrelForm::ControlsToEngine()
{
    TGSM &gsm = m_dm.GSM;
    gsm.SetEquipment(static_cast<TGSMEquipment>(std::max(0, ui->ModemComboBox->currentIndex())));
    gsm.SetSCA(ui->SCAEdit->text().trimmed().toStdString());
    gsm.SetPIN(ui->PinEdit->text().trimmed().toStdString());
    gsm.SetSMSFormat(static_cast<uint8_t>(std::max(0, ui->SMSFormat->currentIndex())));
    TGSMUnsolicitedIndicationSet set = 0;
    if (ui->CatchSMSMT->isChecked())
        set |= Bit(uindSMSDeliver);
    if (ui->CatchSMSCB->isChecked())
        set |= Bit(uindCellBroadcast);
    if (ui->CatchSMSDS->isChecked())
        set |= Bit(uindSMSStatusReport);
    if (ui->OnlyIndication->isChecked())
        set |= Bit(uindOnlyIndication);
    gsm.SetUnsolicitedIndication(set);
    m_dm.Comm1.SetDeviceName(ui->DeviceNameEdit->text().trimmed().toStdString());
    m_dm.SMSLogName = ui->SMSLOGCheckBox->isChecked() && m_smsLogFile != "<none>" ? m_smsLogFile : "<none>";
    m_dm.GSMLogName = ui->GSMLOGCheckBox->isChecked() && m_gsmLogFile != "<none>" ? m_gsmLogFile : "<none>";
    setWindowTitle(QString::fromStdString(Format("GSM Kestrel [%s]", GSMEquipmentCaptions[gsm.Equipment()])));
}

void TGSMKestrelForm::HandleMessage(int Msg, long long WParam, const TSMS *)
{
    if (Msg == kMsgRegistration)
        setRegistration(static_cast<int>(WParam));
    else if (Msg == kMsgEngineState)
        setEngineState(static_cast<int>(WParam));
    else if (Msg == kMsgSMSProcessed)
        // The message is in the store by now: the Messages tab shows it.
        guarded([this] {
            syncMessageStore();
            m_messagesView->Refresh();
        });
}

void TGSMKestrelForm::setRegistration(int status)
{
    int base = status == 1 ? 3 : status == 5 ? 5 : 1;
    ui->IndNetRegStatus->setIcon(GlyphImage(base + 1));
    ui->IndNetRegStatus->setProperty("ImageIndex", base + 1);
}

void TGSMKestrelForm::setEngineState(int value)
{
    const bool active = m_dm.GSM.Active();
    for (QWidget *w : ui->ConfigureGroupbox->findChildren<QWidget *>())
        w->setEnabled(!active);
    ui->SMSLogButton->setEnabled(ui->SMSLOGCheckBox->isEnabled() && ui->SMSLOGCheckBox->isChecked());
    ui->GSMLogButton->setEnabled(ui->GSMLOGCheckBox->isEnabled() && ui->GSMLOGCheckBox->isChecked());
    int image = 0;
    if ((value & 0x7F) == 0) {
        image = 2;
    } else if ((value & 0x7F) == 1) {
        image = 4;
        if ((value & 0x80) && active) {
            std::string info[4];
            for (int i = 0; i < 4; ++i)
                m_dm.GSM.GetModemInfo(i + 1, info[i]);
            ui->ManufacturerId->setPlainText(
                QString::fromStdString(Format("%s/%s\r\n%s\r\nS/N: %s", info[0].c_str(), info[1].c_str(),
                                              info[2].c_str(), info[3].c_str()))
                    .replace("\r\n", "\n"));
        }
    }
    if (value == kEngineClosed)
        image = 0;
    ui->Semafor->setIcon(GlyphImage(image));
    ui->Semafor->setProperty("ImageIndex", image);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// ---- SMS tab

void TGSMKestrelForm::SMSKindChange()
{
    if (m_updating)
        return;
    m_updating = true;
    struct Reset {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{m_updating};

    const unsigned kind = static_cast<unsigned>(ui->SMSKind->currentIndex());
    if (kind != m_prevKind) {
        m_prevKind = kind;
        ui->SMSKind2->setEnabled(kind != skText);
        ui->SMSKind2->clear();
        if (kind == skSmart)
            ui->SMSKind2->addItems({"Picture", "vCard", "Logo", "CLI", "Melody"});
        else if (kind == skEMS)
            ui->SMSKind2->addItems({"Picture (small)", "Picture (large)", "Picture (variable)",
                                    "Animation (small)", "Animation (large)", "Melody"});
        else
            ui->SMSKind2->addItem("");
        ui->SMSKind2->setCurrentIndex(0);
        ui->DCS->setEnabled(kind == skText);
        ui->DeliveryNotification->setEnabled(kind == skText);
        m_prevType = 0x80000001u;
    }
    const unsigned type = static_cast<unsigned>(ui->SMSKind2->currentIndex());
    if (type != m_prevType) {
        m_prevType = type;
        const int t = static_cast<int>(type);
        if (kind == skSmart) {
            m_smartClass = t;
            m_emsClass = -1;
            ui->PictureGB->setVisible(t == stPicture || t == stLogo || t == stCLI);
            ui->PictureOperator->setEnabled(t == stLogo);
            ui->vCardGB->setVisible(t == stVCard);
            ui->PictureNumAnimations->setEnabled(false);
            ui->PictureNumAnimations->setText("0");
            ui->PictureWidth->setEnabled(true);
            ui->PictureHeight->setEnabled(true);
            ui->MelodyGB->setVisible(t == stMelody);
            ui->Message->setEnabled(t == stPicture);
        } else if (kind == skEMS) {
            m_smartClass = -1;
            m_emsClass = t;
            ui->PictureGB->setVisible(t <= etAnimationLarge);
            ui->vCardGB->setVisible(false);
            ui->PictureNumAnimations->setEnabled(false);
            ui->PictureWidth->setEnabled(t == etPictureVariable);
            ui->PictureHeight->setEnabled(t == etPictureVariable);
            ui->PictureOperator->setEnabled(false);
            ui->MelodyGB->setVisible(t == etSound);
            ui->Message->setEnabled(true);
            if (t <= etAnimationLarge) {
                // The variable picture has no size of its own: the edits keep theirs.
                if (int w = 0, h = 0; emsDefaultSize(t, w, h)) {
                    ui->PictureWidth->setText(QString::number(w));
                    ui->PictureHeight->setText(QString::number(h));
                }
                ui->PictureNumAnimations->setText(t <= etPictureVariable ? "1" : "4");
            }
        } else {
            m_smartClass = m_emsClass = -1;
            ui->PictureGB->setVisible(false);
            ui->vCardGB->setVisible(false);
            ui->MelodyGB->setVisible(false);
            ui->Message->setEnabled(true);
        }
        ResizePicture();
    }
    ui->Blink->setEnabled(ui->Message->isEnabled());
    updateMessageCounter();
}

void TGSMKestrelForm::BlinkClick()
{
    QLineEdit *m = ui->Message;
    if (!m->hasSelectedText())
        return;
    const int start = m->selectionStart();
    const int length = m->selectedText().size();
    QString text = m->text();
    text.insert(start + length, QChar(0x0164));
    text.insert(start, QChar(0x0165));
    m->setText(text);
    m->setSelection(start + 1, length);
}

void TGSMKestrelForm::updateMessageCounter()
{
    ui->MessageCounter->setText(
        MessageCounterText(m_composer, MessageContent(), static_cast<int>(ui->Message->text().size())));
}

TMessageContent TGSMKestrelForm::MessageContent() const
{
    TMessageContent c;
    c.Text = ui->Message->isEnabled() ? ui->Message->text() : QString();
    c.MessageClass = std::max(0, ui->DCS->currentIndex());
    c.StatusReport = ui->DeliveryNotification->isChecked();
    static const TMessageKind smart[] = {TMessageKind::mkPicture, TMessageKind::mkvCard,
                                         TMessageKind::mkOperatorLogo, TMessageKind::mkCLIIcon,
                                         TMessageKind::mkRingingTone};
    static const TMessageKind ems[] = {TMessageKind::mkEMSPictureSmall,    TMessageKind::mkEMSPictureLarge,
                                       TMessageKind::mkEMSPictureVariable, TMessageKind::mkEMSAnimationSmall,
                                       TMessageKind::mkEMSAnimationLarge,  TMessageKind::mkEMSMelody};
    if (m_smartClass >= 0 && m_smartClass < 5) {
        c.Kind = smart[m_smartClass];
        // Status reports and the class belong to text messages only.
        c.StatusReport = false;
    } else if (m_emsClass >= 0 && m_emsClass < 6) {
        c.Kind = ems[m_emsClass];
        c.StatusReport = false;
    }
    c.vCardName = ui->vCardName->text();
    c.vCardPhone = ui->vCardPhone->text();
    const bool picture = m_smartClass == stPicture || m_smartClass == stLogo || m_smartClass == stCLI ||
                         (m_emsClass >= etPictureSmall && m_emsClass <= etAnimationLarge);
    if (picture) {
        c.Width = std::clamp(editNumber(ui->PictureWidth), 0, kMaxPictureSide);
        c.Height = std::clamp(editNumber(ui->PictureHeight), 0, kMaxPictureSide);
        c.AnimationCount = editNumber(ui->PictureNumAnimations);
        c.Picture = blackAndWhite(m_picture);
        bool ok = false;
        const int op = ui->PictureOperator->currentText().section(',', 0, 0).trimmed().toInt(&ok);
        c.Operator = ok ? op : 0;
    }
    c.Melody = m_melody.ToMelody(ui->MelodyName->text());
    return c;
}

void TGSMKestrelForm::BitBtn1Click()
{
    BeginModemAction();
    try {
        sendMessage();
    } catch (...) {
        EndModemAction();
        throw;
    }
    EndModemAction();
}

namespace {

// The engine's view of PDUs for the composer: whether they start with the service-centre field.
class TEngineContext : public ISMSContext {
public:
    explicit TEngineContext(const TGSM &gsm) : m_gsm(gsm) {}
    bool SCAInPDU() const override { return m_gsm.SCAInPDU(); }
    std::string SCA() const override { return m_gsm.SCA(); }

private:
    const TGSM &m_gsm;
};

} // namespace

void TGSMKestrelForm::sendMessage()
{
    sendContent(ui->DA->text().trimmed().toStdString(), MessageContent());
    guarded([this] {
        syncMessageStore();
        m_messagesView->Refresh();
    });
}

void TGSMKestrelForm::SendReply(const std::string &peer, const QString &text)
{
    TMessageContent content;
    content.Text = text;
    content.MessageClass = std::max(0, ui->DCS->currentIndex());
    content.StatusReport = true;
    BeginModemAction();
    try {
        sendContent(peer, content);
    } catch (...) {
        EndModemAction();
        throw;
    }
    EndModemAction();
}

void TGSMKestrelForm::sendContent(const std::string &destination, const TMessageContent &content)
{
    if (!m_dm.GSM.Active()) {
        if (!Confirm || !Confirm("Device not active. Connect?"))
            return;
        m_dm.Comm1.Close(); // it may be open for typing
        ControlsToEngine();
        m_dm.GSM.Open();
    }
    CheckDeviceActive();
    const TEngineContext context(m_dm.GSM);
    auto submits = m_composer.Compose(destination, content, &context);
    // Logged and recorded by the data module; a store that cannot be written is reported
    // there and does not stop the sending.
    m_dm.SendMessages(submits, content);
}

// ---- From the Messages tab into the editors

void TGSMKestrelForm::OpenInPictureEditor(const TMessagePicture &picture)
{
    if (picture.Frames.empty())
        return;
    struct TPlace {
        TMessageKind kind;
        int smsKind, type;
    };
    static const TPlace places[] = {
        {TMessageKind::mkPicture, skSmart, stPicture},
        {TMessageKind::mkOperatorLogo, skSmart, stLogo},
        {TMessageKind::mkCLIIcon, skSmart, stCLI},
        {TMessageKind::mkEMSPictureSmall, skEMS, etPictureSmall},
        {TMessageKind::mkEMSPictureLarge, skEMS, etPictureLarge},
        {TMessageKind::mkEMSPictureVariable, skEMS, etPictureVariable},
        {TMessageKind::mkEMSAnimationSmall, skEMS, etAnimationSmall},
        {TMessageKind::mkEMSAnimationLarge, skEMS, etAnimationLarge},
    };
    TPlace place = places[0];
    for (const TPlace &p : places)
        if (p.kind == picture.EditorKind)
            place = p;
    ui->SMSKind->setCurrentIndex(place.smsKind);
    ui->SMSKind2->setCurrentIndex(place.type);
    const QSize size = picture.Frames.front().size();
    ui->PictureWidth->setText(QString::number(size.width()));
    ui->PictureHeight->setText(QString::number(size.height()));
    if (place.smsKind == skSmart)
        ui->PictureNumAnimations->setText(QString::number(static_cast<int>(picture.Frames.size()) - 1));
    if (place.type == stLogo && place.smsKind == skSmart) {
        const QString code = QString("%1").arg(picture.Operator, 5, 10, QChar('0'));
        for (int i = 0; i < ui->PictureOperator->count(); ++i)
            if (ui->PictureOperator->itemText(i).startsWith(code + ",")) {
                ui->PictureOperator->setCurrentIndex(i);
                break;
            }
    }
    m_picture = picture.Strip().convertToFormat(QImage::Format_RGB32);
    ResizePicture();
    ui->PageControl1->setCurrentIndex(kTabSMS);
}

void TGSMKestrelForm::OpenInMelodyEditor(const TMessageMelody &melody)
{
    ui->SMSKind->setCurrentIndex(melody.EMS ? skEMS : skSmart);
    ui->SMSKind2->setCurrentIndex(melody.EMS ? static_cast<int>(etSound) : static_cast<int>(stMelody));
    m_melody.Assign(melody.Melody);
    ui->MelodyName->setText(melody.Melody.Name);
    MelodyToGrid();
    ui->PageControl1->setCurrentIndex(kTabSMS);
}

// ---- Picture editor

int TGSMKestrelForm::PictureFrameCount() const
{
    int f = editNumber(ui->PictureNumAnimations) + (ui->SMSKind->currentIndex() == skSmart ? 1 : 0);
    return std::clamp(f, 1, kMaxFrames);
}

void TGSMKestrelForm::ResizePicture()
{
    const int w = std::clamp(editNumber(ui->PictureWidth), 0, kMaxPictureSide);
    const int h = std::clamp(editNumber(ui->PictureHeight), 0, kMaxPictureSide);
    const int frames = PictureFrameCount();
    ui->Picture->SetFrames(frames, w, h);
    // The bitmap holds the frames at 1:1; it only grows, so shrinking the edits loses nothing.
    EnlargePicture(m_picture, frames * w, h);
    ui->Picture->update();
}

void TGSMKestrelForm::LoadPicture(const QString &fileName)
{
    QImage image;
    if (!image.load(fileName))
        throw EGSMError(Format("Cannot read the picture \"%s\"", fileName.toStdString().c_str()));
    m_picture = image.convertToFormat(QImage::Format_RGB32);
    SavePictureDialog->selectFile(fileName);
    ResizePicture();
}

void TGSMKestrelForm::SavePicture(const QString &fileName) const
{
    if (!m_picture.save(fileName, QFileInfo(fileName).suffix().isEmpty() ? "BMP" : nullptr))
        throw EGSMError(Format("Cannot write the picture \"%s\"", fileName.toStdString().c_str()));
}

// ---- Melody editor

TMelodyRow TGSMKestrelForm::EditorValues() const
{
    return {ui->MelodyScale->currentIndex(),    ui->MelodyNote->currentIndex(),
            ui->MelodyDuration->currentIndex(), ui->MelodyDuration2->currentIndex(),
            ui->MelodyTempo->currentIndex(),    ui->MelodyStyle->currentIndex(),
            ui->MelodyVolume->currentIndex()};
}

void TGSMKestrelForm::SetEditorValues(const TMelodyRow &v)
{
    QComboBox *editors[kMelodyColumns] = {ui->MelodyScale,     ui->MelodyNote,  ui->MelodyDuration,
                                          ui->MelodyDuration2, ui->MelodyTempo, ui->MelodyStyle,
                                          ui->MelodyVolume};
    for (int c = 0; c < kMelodyColumns; ++c)
        editors[c]->setCurrentIndex(v.Column(c));
}

void TGSMKestrelForm::MelodyToGrid()
{
    QTableWidget *g = ui->MelodyGrid;
    const QSignalBlocker block(g);
    g->setRowCount(m_melody.RowCount() - 1);
    for (int r = 1; r < m_melody.RowCount(); ++r) {
        const bool pending = r == m_melody.RowCount() - 1;
        for (int c = 0; c < kMelodyColumns; ++c) {
            auto *item = g->item(r - 1, c);
            if (!item) {
                item = new QTableWidgetItem;
                g->setItem(r - 1, c, item);
            }
            item->setText(pending ? QString() : MelodyColumnItems(c).value(m_melody.Row(r).Column(c)));
        }
    }
    g->setCurrentCell(m_melody.CurrentRow() - 1, 0);
}

void TGSMKestrelForm::MelodyPlus()
{
    m_melody.Plus(EditorValues(), ui->MelodyInsert->isChecked(), ui->SMSKind->currentIndex() == skEMS);
    MelodyToGrid();
}

void TGSMKestrelForm::MelodyMinus()
{
    m_melody.Minus();
    MelodyToGrid();
}

void TGSMKestrelForm::RowToEditors()
{
    SetEditorValues(m_melody.Row(m_melody.EditorRow()));
}

void TGSMKestrelForm::LoadMelody(const QString &fileName)
{
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly))
        throw EGSMError(Format("Cannot read the melody \"%s\"", fileName.toStdString().c_str()));
    QStringList lines = QString::fromUtf8(f.read(kMaxMelodyFile)).split('\n');
    if (!lines.isEmpty() && lines.back().trimmed().isEmpty())
        lines.removeLast();
    for (QString &l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    const TMelody melody = ReadMelodyFile(lines);
    m_melody.Assign(melody);
    ui->MelodyName->setText(melody.Name);
    MelodyToGrid();
    SaveMelodyDialog->selectFile(fileName);
}

void TGSMKestrelForm::SaveMelody(const QString &fileName)
{
    const TMelody melody = m_melody.ToMelody(ui->MelodyName->text());
    QByteArray data;
    if (QFileInfo(fileName).suffix().toUpper().contains("RTT")) {
        TSMRingingTone tone;
        BuildRingingTone(tone, melody);
        data = tone.RTTTL().toUtf8();
        if (data.isEmpty())
            return;
    } else {
        data = (WriteMelodyFile(melody).join('\n') + '\n').toUtf8();
    }
    QSaveFile f(fileName);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size() || !f.commit())
        throw EGSMError(Format("Cannot write the melody \"%s\"", fileName.toStdString().c_str()));
}

} // namespace kestrel
