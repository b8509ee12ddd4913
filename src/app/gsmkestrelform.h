// TGSMKestrelForm: the only window. Modem tab (configuration, login and logout, switch off,
// handset identification), SMS tab (compose and send with the picture and melody editors), and
// the two log views. All modem work goes through the data module's engine; the window opens the
// serial port itself only for what is typed into the modem log.
#pragma once

#include "app/melodyeditor.h"
#include "app/smsselection.h"
#include "appcore/datamodule.h"
#include "detect/modemdetect.h"
#include "xsms/composer.h"

#include <QFileDialog>
#include <QImage>
#include <QMainWindow>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace Ui {
class GSMKestrelForm;
}

namespace kestrel {

class TMessageStore;
class TMessagesView;
struct TMessageMelody;
struct TMessagePicture;

class TGSMKestrelForm : public QMainWindow, public TMessageTarget {
    Q_OBJECT
public:
    TGSMKestrelForm(TGSMDataModule &dataModule, const QStringList &arguments, QWidget *parent = nullptr);
    ~TGSMKestrelForm() override;

    Ui::GSMKestrelForm *UI() const { return ui.get(); }
    TGSMDataModule &DataModule() const { return m_dm; }

    void HandleMessage(int Msg, long long WParam, const TSMS *LParam) override;

    // Handlers, named after what they answer.
    void SpeedButton3Click(QObject *sender); // On (Tag 1) and Off (Tag 0)
    void SpeedButton1Click();                // switch off
    void IndNetRegStatusClick();             // signal strength
    void showOperator();                     // the network beside the signal (empty when off)
    void StatusBarClick();
    void ModemLogKeyPress(QObject *sender, char &Key);
    void SMSLOGCheckBoxClick();
    void GSMLOGCheckBoxClick();
    void SMSLogButtonClick();
    void GSMLogButtonClick();
    void SMSKindChange();
    void BlinkClick();
    void BitBtn1Click(); // send
    // The USSD line of the Modem tab (ussdline.cpp): sends the code, or the answer to the
    // network's menu, through the engine as kestrel ussd does, shows the network's answer and
    // ends a session the network keeps open.
    void USSDSendClick();
    void USSDReplyClick();
    void USSDEndClick();
    // How long the line waits for the network's answer.
    int USSDTimeoutMs = 30000;
    // Looks for modems off the GUI thread, then offers what it found to fill in device and type.
    void DetectClick();
    bool Detecting() const { return m_detectThread.joinable(); }
    // The devices to probe: those of the machine by default. ExtraDetectDevices are probed too
    // (the virtual handset of --simulate).
    std::function<std::vector<TSerialDevice>()> ListDevices = [] { return ListSerialDevices(); };
    std::vector<std::string> ExtraDetectDevices;
    // What the SMS tab describes, as the composer takes it.
    TMessageContent MessageContent() const;

    void BeginModemAction();
    void EndModemAction();
    // A modem action for as long as it lives: the modem log shows while the modem works (when the
    // user asked for that) and the page before it comes back however the action ends.
    class TModemAction {
    public:
        explicit TModemAction(TGSMKestrelForm &form) : m_form(form) { m_form.BeginModemAction(); }
        ~TModemAction() { m_form.EndModemAction(); }
        TModemAction(const TModemAction &) = delete;
        TModemAction &operator=(const TModemAction &) = delete;

    private:
        TGSMKestrelForm &m_form;
    };
    void CheckDeviceActive() const;
    void EngineToControls();
    void ControlsToEngine();

    // Picture editor.
    void ResizePicture();
    int PictureFrameCount() const;
    QImage &Picture() { return m_picture; }
    void LoadPicture(const QString &fileName);
    void SavePicture(const QString &fileName) const;
    // Melody editor.
    TMelodyTable &Melody() { return m_melody; }
    TMelodyRow EditorValues() const;
    void SetEditorValues(const TMelodyRow &values);
    void MelodyPlus();  // "+"
    void MelodyMinus(); // "-"
    void RowToEditors();
    void MelodyToGrid();
    void LoadMelody(const QString &fileName);
    void SaveMelody(const QString &fileName);

    // Asked before sending while the engine is closed; the default asks with a message box.
    std::function<bool(const QString &question)> Confirm;
    // Shows a failure of a handler; the default is a message box.
    std::function<void(const QString &message)> ShowError;

    // Builds what is sent; its counter is the multipart reference of the next message.
    TMessageComposer &Composer() { return m_composer; }

    // The Messages tab, after the four tabs.
    TMessagesView *MessagesView() const { return m_messagesView; }
    void ShowMessagesTab();
    // Shows another store than the data module's (the benchmark's prepared one).
    void SetMessageStore(TMessageStore *store);
    // A text to a peer through the same composer and engine as the SMS tab, asking for a status
    // report so that its delivery shows; offers to log in first as Send does.
    void SendReply(const std::string &peer, const QString &text);
    // A received picture or melody into the SMS tab's editors, ready to send.
    void OpenInPictureEditor(const TMessagePicture &picture);
    void OpenInMelodyEditor(const TMessageMelody &melody);

    static constexpr const char *kOwnHint = "GSM Kestrel 0.1 - send and receive short messages|";

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void formCreate();
    void formShow();
    void setupMelodyEditor();
    void connectHandlers();
    // Runs a handler and shows whatever it raises: nothing a handler throws reaches the event loop.
    void guarded(const std::function<void()> &handler);
    void showHint(const QString &hint);
    void setRegistration(int status);
    void setEngineState(int value);
    void updateMessageCounter();
    void sendMessage();
    void sendContent(const std::string &destination, const TMessageContent &content);
    void setupMessagesView();
    void syncMessageStore();
    // Shows what the store holds now (a message received or sent).
    void refreshMessages();
    void openForTyping();
    void detectFinished(std::vector<TDetectResult> results);
    // Sends Text in the USSD session and shows the answer; the session stays open while the
    // network asks for an answer.
    void sendUSSD(const QString &text);
    void setUSSDSession(bool open);
    void useDetected(const TDetectResult &r);

    std::unique_ptr<Ui::GSMKestrelForm> ui;
    TGSMDataModule &m_dm;
    QStringList m_arguments;
    bool m_shown = false;
    int m_savedPage = 0;
    unsigned m_prevKind = 0x80000001u;
    unsigned m_prevType = 0x80000001u;
    bool m_updating = false;
    int m_smartClass = -1; // TSmartType, or -1
    int m_emsClass = -1;   // TEMSType, or -1
    QImage m_picture;
    TMelodyTable m_melody;
    TMessageComposer m_composer;
    TMessagesView *m_messagesView = nullptr; // owned by its tab
    std::string m_smsLogFile;
    std::string m_gsmLogFile;
    QFileDialog *SMSLogSaveDialog = nullptr;
    QFileDialog *GSMLogSaveDialog = nullptr;
    QFileDialog *OpenPictureDialog = nullptr;
    QFileDialog *SavePictureDialog = nullptr;
    QFileDialog *OpenMelodyDialog = nullptr;
    QFileDialog *SaveMelodyDialog = nullptr;
    std::thread m_detectThread;
};

} // namespace kestrel
