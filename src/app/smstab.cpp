// The SMS tab: the two lists of what is composed, the text and its counter, and sending (also
// the Messages tab's replies) through the composer and the data module.
#include "app/gsmkestrelform.h"

#include "app/formparts.h"
#include "app/messagesview.h"
#include "app/pictureeditor.h"
#include "gsm/gsmerror.h"
#include "gsm/smscontext.h"
#include "ui_gsmkestrelform.h"
#include "xsms/ems.h"

#include <algorithm>

namespace kestrel {

namespace {

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
        ui->SMSKind2->addItems(SMSTypeCaptions(static_cast<int>(kind)));
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
            ui->PictureGB->setVisible(SelectionHasPicture({skSmart, t}));
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
            ui->PictureGB->setVisible(SelectionHasPicture({skEMS, t}));
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
    const TSMSSelection selection = m_smartClass >= 0 ? TSMSSelection{skSmart, m_smartClass}
                                    : m_emsClass >= 0 ? TSMSSelection{skEMS, m_emsClass}
                                                      : TSMSSelection{skText, 0};
    if (const auto kind = SelectionKind(selection)) {
        c.Kind = *kind;
        // Status reports and the class belong to text messages only.
        c.StatusReport = false;
    }
    c.vCardName = ui->vCardName->text();
    c.vCardPhone = ui->vCardPhone->text();
    if (SelectionHasPicture(selection)) {
        c.Width = std::clamp(EditNumber(ui->PictureWidth), 0, kMaxPictureSide);
        c.Height = std::clamp(EditNumber(ui->PictureHeight), 0, kMaxPictureSide);
        c.AnimationCount = EditNumber(ui->PictureNumAnimations);
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
    const TModemAction action(*this);
    sendMessage();
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
    guarded([this] { refreshMessages(); });
}

void TGSMKestrelForm::SendReply(const std::string &peer, const QString &text)
{
    TMessageContent content;
    content.Text = text;
    content.MessageClass = std::max(0, ui->DCS->currentIndex());
    content.StatusReport = true;
    const TModemAction action(*this);
    sendContent(peer, content);
}

void TGSMKestrelForm::sendContent(const std::string &destination, const TMessageContent &content)
{
    // Refused before the offer to log in: nothing to connect for.
    if (const std::string refusal = OutgoingRefusal(destination, content); !refusal.empty())
        throw EGSMError(refusal);
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

} // namespace kestrel
