#include "appcore/datamodule.h"

#include "appcore/datamoduleinternal.h"
#include "base/format.h"
#include "xsms/protocolstack.h"

#include <algorithm>

// The data module's jobs live in files of their own: applocations (where the files go),
// datamodulesettings (gsm.ini), smslog (the logs and their lines), receiving (what arrives) and
// storestate (the store and its failure). This file ties them to the engine's events.

namespace kestrel {

TGSMDataModule::TGSMDataModule(std::string configFile, std::string logDirectory,
                               std::optional<TGSMEquipment> equipment)
    : m_configFile(std::move(configFile)), m_logDirectory(std::move(logDirectory)), m_equipment(equipment)
{
    // The stored settings of the two components.
    Comm1.SetDontSynchronize(true);
    GSM.SetCOMDevice(&Comm1);
    GSM.SetSCA(kDefaultSCA);
    GSM.BeforeOpen = [this](TConnection *) { GSMBeforeOpen(); };
    GSM.AfterOpen = [this](TConnection *) { GSMAfterOpen(); };
    GSM.AfterClose = [this](TConnection *) { GSMAfterClose(); };
    GSM.OnRxChar = [this](TObject *, char c) { GSMRxChar(c); };
    GSM.OnUnsolicitedSMS = [this](TObject *, int idx, TSMS *sms) { GSMUnsolicitedSMS(idx, sms); };
    GSM.OnNetworkRegistration = [this](TObject *, int status) { GSMNetworkRegistration(status); };
    GSM.OnBusyChanged = [this](TObject *, bool busy) { GSMBusyChanged(busy); };
    GSM.OnRestart = [this](TObject *, const std::string &reason) { GSMRestart(reason); };
    GSM.OnRoutingRestored = [this](TObject *) { GSMRoutingRestored(); };
    // Failures of the handlers above while the engine processes lines on its own (a message
    // that could not be recorded and stays on the handset) have no other caller.
    GSM.OnProcessingError = [this](TObject *, const std::string &message) { ReportError(message); };

    ProtocolStack = std::make_unique<TSMSProtocolStack>();
    LineBuffer.clear();
    LoadSettings();
}

TGSMDataModule::~TGSMDataModule()
{
    try {
        if (AutoSaveSettings)
            SaveSettings();
    } catch (...) {
        // Leaving the program must not fail because the settings file cannot be written.
    }
    GSM.Close();
    ProtocolStack.reset();
}

void TGSMDataModule::AddForm(TMessageTarget *form)
{
    if (form && std::find(m_forms.begin(), m_forms.end(), form) == m_forms.end())
        m_forms.push_back(form);
}

void TGSMDataModule::RemoveForm(TMessageTarget *form)
{
    m_forms.erase(std::remove(m_forms.begin(), m_forms.end(), form), m_forms.end());
}

void TGSMDataModule::SendMessageToForms(int Msg, long long WParam, const TSMS *LParam)
{
    const auto forms = m_forms; // a handler may remove its form
    for (auto *form : forms)
        form->HandleMessage(Msg, WParam, LParam);
}

void TGSMDataModule::GSMBeforeOpen()
{
    if (AutoSaveSettings)
        SaveSettings();
    SendMessageToForms(kMsgEngineState, kEngineBusy, nullptr);
}

void TGSMDataModule::GSMAfterOpen()
{
    // The payloads left incomplete by the last run are back in the stack before anything new
    // arrives.
    Store();
    readStorage();
    SendMessageToForms(kMsgEngineState, kEngineOpened, nullptr);
}

void TGSMDataModule::GSMAfterClose()
{
    SendMessageToForms(kMsgEngineState, kEngineClosed, nullptr);
}

void TGSMDataModule::GSMBusyChanged(bool aBusy)
{
    SendMessageToForms(kMsgEngineState, aBusy ? kEngineBusy : kEngineIdle, nullptr);
}

void TGSMDataModule::GSMNetworkRegistration(int aNewStatus)
{
    SendMessageToForms(kMsgRegistration, aNewStatus, nullptr);
}

void TGSMDataModule::GSMRestart(const std::string &aReason)
{
    readStorageAfter(Format("The handset restarted (%s) and was set up again", aReason.c_str()));
    SendMessageToForms(kMsgEngineState, kEngineOpened, nullptr);
}

void TGSMDataModule::GSMRoutingRestored()
{
    // What arrived meanwhile, and the unacknowledged message once the network delivered it again.
    readStorageAfter("The handset stopped passing messages on after one went unacknowledged; its indications "
                     "were set again");
}

void TGSMDataModule::readStorageAfter(const std::string &note)
{
    if (SMSLogView)
        SMSLogView->AddLine(note);
    gsmLogRecord(note + "\r\n");
    // Messages that reached the storage while the handset announced nothing.
    readStorage();
}

void TGSMDataModule::ReportError(const std::string &message)
{
    // Its cause, the store, was reported when it began to fail.
    if (message == kMessageKept)
        return;
    if (OnError)
        OnError(message);
    else if (SMSLogView)
        SMSLogView->AddLine("Error: " + message);
}

TSendResult TGSMDataModule::SendMessages(const std::vector<std::unique_ptr<TSMSSubmit>> &Segments,
                                         const TMessageContent &Content)
{
    TSendResult result = SendComposed(GSM, Segments, Content, Store(), modemName(),
                                      [this](const TSMSSubmit &s) { LogSMS(&s); });
    if (!result.StoreError.empty())
        storeFailed(result.StoreError);
    else if (result.StoredId != 0)
        storeWorks();
    return result;
}

} // namespace kestrel
