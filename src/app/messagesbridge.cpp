// The bridge to the Messages tab: its store follows the data module's, its replies go out as the
// SMS tab sends, and its pictures and melodies open in the SMS tab's editors.
#include "app/gsmkestrelform.h"

#include "app/formparts.h"
#include "app/messagesview.h"
#include "base/inifile.h"
#include "gsm/numberingplan.h"
#include "ui_gsmkestrelform.h"

namespace kestrel {

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
    // Names of contacts meet the numbers of conversations in the home country of the settings
    // file, else of the system's locale.
    if (const TNumberingPlan *plan =
            HomeNumberingPlan(CountryCodeFromSettings(TIniFile(m_dm.ConfigFile())), {}))
        m_messagesView->SetCountryCode(std::string(plan->CountryCode));
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

void TGSMKestrelForm::refreshMessages()
{
    syncMessageStore();
    m_messagesView->Refresh();
}

void TGSMKestrelForm::ShowMessagesTab()
{
    ui->PageControl1->setCurrentWidget(m_messagesView);
}

void TGSMKestrelForm::SetMessageStore(TMessageStore *store)
{
    m_messagesView->SetStore(store);
}

void TGSMKestrelForm::OpenInPictureEditor(const TMessagePicture &picture)
{
    if (picture.Frames.empty())
        return;
    // A kind the editor has no picture choice for opens as a picture message.
    const std::optional<TSMSSelection> choice = KindSelection(picture.EditorKind);
    const TSMSSelection place =
        choice && SelectionHasPicture(*choice) ? *choice : TSMSSelection{skSmart, stPicture};
    ui->SMSKind->setCurrentIndex(place.Kind);
    ui->SMSKind2->setCurrentIndex(place.Type);
    const QSize size = picture.Frames.front().size();
    ui->PictureWidth->setText(QString::number(size.width()));
    ui->PictureHeight->setText(QString::number(size.height()));
    if (place.Kind == skSmart)
        ui->PictureNumAnimations->setText(QString::number(static_cast<int>(picture.Frames.size()) - 1));
    if (place == TSMSSelection{skSmart, stLogo}) {
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
    const TSMSSelection place =
        *KindSelection(melody.EMS ? TMessageKind::mkEMSMelody : TMessageKind::mkRingingTone);
    ui->SMSKind->setCurrentIndex(place.Kind);
    ui->SMSKind2->setCurrentIndex(place.Type);
    m_melody.Assign(melody.Melody);
    ui->MelodyName->setText(melody.Melody.Name);
    MelodyToGrid();
    ui->PageControl1->setCurrentIndex(kTabSMS);
}

} // namespace kestrel
