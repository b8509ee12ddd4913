#include "app/detectdialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kestrel {

namespace {

QString Q(const std::string &s)
{
    return QString::fromStdString(s);
}

QString Remark(const TDetectResult &r)
{
    if (!r.IsModem())
        return Q(r.error);
    QStringList parts;
    if (!r.pin.empty() && r.pin != "READY")
        parts << "SIM: " + Q(r.pin);
    if (!r.equipment)
        parts << "no short messages";
    if (!r.byId.empty())
        parts << Q(r.byId);
    return parts.join("; ");
}

} // namespace

TDetectDialog::TDetectDialog(std::vector<TDetectResult> results, QWidget *parent)
    : QDialog(parent), m_results(std::move(results))
{
    setObjectName("DetectDialog");
    setWindowTitle("Modems found");
    auto *layout = new QVBoxLayout(this);
    auto *hint = new QLabel(m_results.empty() ? "No serial devices were found. Is the modem plugged in?"
                                              : "Pick the modem to use; its device and type are filled in.",
                            this);
    hint->setWordWrap(true);
    layout->addWidget(hint);
    m_list = new QTreeWidget(this);
    m_list->setObjectName("DetectList");
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({"Device", "Modem", "Type", "Remarks"});
    for (size_t i = 0; i < m_results.size(); ++i) {
        const TDetectResult &r = m_results[i];
        const QString modem = r.IsModem() ? Q(r.manufacturer + " " + r.model).trimmed() : QString();
        const QString type = r.equipment ? GSMEquipmentCaptions[*r.equipment] : QString();
        auto *item = new QTreeWidgetItem(m_list, {Q(r.device), modem, type, Remark(r)});
        item->setData(0, Qt::UserRole, static_cast<int>(i));
        if (!r.IsModem() || !r.equipment)
            item->setFlags(item->flags() & ~(Qt::ItemIsSelectable | Qt::ItemIsEnabled));
    }
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(m_list);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    m_use = buttons->addButton("Use", QDialogButtonBox::AcceptRole);
    m_use->setObjectName("DetectUse");
    m_use->setEnabled(false);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] { m_use->setEnabled(Selected()); });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (Selected())
            accept();
    });
    // The first modem is the likely choice.
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        if (m_list->topLevelItem(i)->flags() & Qt::ItemIsSelectable) {
            m_list->setCurrentItem(m_list->topLevelItem(i));
            break;
        }
    }
    resize(640, 240);
}

const TDetectResult *TDetectDialog::Selected() const
{
    const QTreeWidgetItem *item = m_list->currentItem();
    if (!item || !item->isSelected() || !(item->flags() & Qt::ItemIsSelectable))
        return nullptr;
    return &m_results.at(static_cast<size_t>(item->data(0, Qt::UserRole).toInt()));
}

std::string TDetectDialog::DeviceToUse(const TDetectResult &r)
{
    return r.byId.empty() ? r.device : r.byId;
}

} // namespace kestrel
