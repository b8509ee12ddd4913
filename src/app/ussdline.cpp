// The USSD line of the Modem tab: a code (or the answer to the network's menu) goes out through
// the engine's SendUSSD, as kestrel ussd sends it; the network's answer shows below, with its
// status where it is not a plain answer. While the network asks for an answer (status 1) the reply
// field and "End session" (AT+CUSD=2) are open.
#include "app/gsmkestrelform.h"
#include "gsm/gsmerror.h"
#include "ui_gsmkestrelform.h"

namespace kestrel {

void TGSMKestrelForm::USSDSendClick()
{
    const QString code = ui->USSDCode->text().trimmed();
    if (code.isEmpty())
        throw EGSMError("Enter a USSD code, such as *100#");
    sendUSSD(code);
}

void TGSMKestrelForm::USSDReplyClick()
{
    const QString reply = ui->USSDReply->text().trimmed();
    if (reply.isEmpty())
        throw EGSMError("Enter the answer to the network's menu");
    sendUSSD(reply);
    ui->USSDReply->clear();
}

void TGSMKestrelForm::USSDEndClick()
{
    setUSSDSession(false);
    CheckDeviceActive();
    TModemAction action(*this);
    m_dm.GSM.CancelUSSD();
}

void TGSMKestrelForm::sendUSSD(const QString &text)
{
    CheckDeviceActive();
    TModemAction action(*this);
    ui->USSDAnswer->clear();
    TUSSDAnswer answer;
    try {
        answer = m_dm.GSM.SendUSSD(text, USSDTimeoutMs);
    } catch (...) {
        // The network may still hold the session: it is ended before the error shows.
        setUSSDSession(false);
        try {
            m_dm.GSM.CancelUSSD();
        } catch (const std::exception &) {
        }
        throw;
    }
    QString shown = answer.HasText ? answer.Text : QString();
    if (answer.Status != ussdDone && answer.Status != ussdActionRequired) {
        const QString status =
            QString("The network answered %1 (%2)").arg(answer.Status).arg(USSDStatusName(answer.Status));
        shown = shown.isEmpty() ? status : shown + "\n\n" + status;
    }
    ui->USSDAnswer->setPlainText(shown);
    setUSSDSession(answer.Status == ussdActionRequired);
    if (answer.Status == ussdActionRequired)
        ui->USSDReply->setFocus();
}

void TGSMKestrelForm::setUSSDSession(bool open)
{
    for (QWidget *w : {static_cast<QWidget *>(ui->USSDReply), static_cast<QWidget *>(ui->USSDReplyButton),
                       static_cast<QWidget *>(ui->USSDEnd)})
        w->setEnabled(open);
}

} // namespace kestrel
