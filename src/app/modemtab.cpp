// The Modem tab: logging in and out, switching off, the signal, typing to the handset, the log
// files, detection, and the settings between the controls and the engine.
#include "app/gsmkestrelform.h"

#include "app/detectdialog.h"
#include "app/formparts.h"
#include "app/glyphs.h"
#include "base/convert.h"
#include "base/format.h"
#include "gsm/gsmerror.h"
#include "terminal/terminal.h"
#include "ui_gsmkestrelform.h"

#include <QApplication>

#include <algorithm>

namespace kestrel {

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
    const TModemAction action(*this);
    if (on) {
        m_dm.Comm1.Close(); // it may be open for typing
        ControlsToEngine();
    }
    m_dm.GSM.SetActive(on);
    showOperator();
}

void TGSMKestrelForm::SpeedButton1Click()
{
    const TModemAction action(*this);
    m_dm.GSM.SwitchOff();
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
    showOperator();
}

void TGSMKestrelForm::showOperator()
{
    TNetworkOperator op;
    // The operator is news beside the signal, not a reason for the action to fail.
    try {
        if (m_dm.GSM.Active())
            op = m_dm.GSM.QueryOperator();
    } catch (const std::exception &) {
    }
    QString text = op.Name.isEmpty() ? QString::fromStdString(op.Numeric) : op.Name;
    if (!text.isEmpty() && !op.Technology().isEmpty())
        text += " (" + op.Technology() + ")";
    ui->NetworkOperator->setText(text);
    ui->NetworkOperator->setToolTip(QString::fromStdString(op.Numeric));
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

namespace {

// Offers the log's file for a new name; a cancelled choice keeps the one in use.
void chooseLogFile(const QCheckBox *enabled, QFileDialog *dialog, std::string &inUse, std::string &offered)
{
    if (!enabled->isChecked())
        return;
    dialog->selectFile(QString::fromStdString(inUse));
    if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
        offered = dialog->selectedFiles().front().toStdString();
        inUse = offered;
    } else {
        offered = inUse;
    }
}

} // namespace

void TGSMKestrelForm::SMSLogButtonClick()
{
    chooseLogFile(ui->SMSLOGCheckBox, SMSLogSaveDialog, m_dm.SMSLogName, m_smsLogFile);
}

void TGSMKestrelForm::GSMLogButtonClick()
{
    chooseLogFile(ui->GSMLOGCheckBox, GSMLogSaveDialog, m_dm.GSMLogName, m_gsmLogFile);
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

void TGSMKestrelForm::setRegistration(int status)
{
    int base = status == 1 ? 3 : status == 5 ? 5 : 1;
    if (status != 1 && status != 5)
        ui->NetworkOperator->clear(); // no network, no operator
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
    if (value == kEngineClosed) {
        image = 0;
        setUSSDSession(false); // the session went with the handset
    }
    ui->Semafor->setIcon(GlyphImage(image));
    ui->Semafor->setProperty("ImageIndex", image);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

} // namespace kestrel
