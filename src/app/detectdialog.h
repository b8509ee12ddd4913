// TDetectDialog: what a modem search found, one row per device (device, maker and model, the
// suggested type, or why it is no modem), for the user to pick the modem to use. Devices that are
// no modem are listed but cannot be picked.
#pragma once

#include "detect/modemdetect.h"

#include <QDialog>

#include <vector>

class QTreeWidget;
class QPushButton;

namespace kestrel {

class TDetectDialog : public QDialog {
    Q_OBJECT
public:
    TDetectDialog(std::vector<TDetectResult> results, QWidget *parent = nullptr);

    // The modem picked, or nullptr while none is.
    const TDetectResult *Selected() const;
    QTreeWidget *List() const { return m_list; }
    QPushButton *UseButton() const { return m_use; }

    // The device name to fill in: the stable by-id name where there is one.
    static std::string DeviceToUse(const TDetectResult &r);

private:
    std::vector<TDetectResult> m_results;
    QTreeWidget *m_list;
    QPushButton *m_use;
};

} // namespace kestrel
