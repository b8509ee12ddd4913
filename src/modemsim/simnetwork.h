// The simulated network behind the virtual handsets: it turns a submitted message into the
// SMS-DELIVER its recipient receives and, when one was asked for, the status report its sender
// receives. Handsets joined to one network reach each other by their own numbers; a message to
// a number nobody has is accepted by the network and goes no further.
#pragma once

#include "base/datetime.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel {

// A message a handset handed to its service centre.
struct TSimSubmission {
    std::string from; // the sender's own number
    std::string tpdu; // the SMS-SUBMIT octets (no service-centre field), TP-MR as sent
    std::string sca;  // the service centre it went through
    TDateTime submitted = 0;
};

// What a member of the network receives.
struct TSimArrival {
    enum Kind { Deliver, StatusReport } kind = Deliver;
    std::string tpdu; // octets, no service-centre field
    std::string sca;
};

class TSimNetwork : public std::enable_shared_from_this<TSimNetwork> {
public:
    using TReceiver = std::function<void(const TSimArrival &)>;
    // Tells a member that it now belongs to another network.
    using TRebind = std::function<void(const std::shared_ptr<TSimNetwork> &)>;

    // Registers a handset under its number; the returned id removes it again.
    int Join(const std::string &number, TReceiver receiver, TRebind rebind);
    // False when the member is not (or no longer) in this network.
    bool Leave(int id);
    // Routes a submission: delivery to the recipient, then the status report to the sender
    // when TP-SRR asked for one. Receivers run with the network's lock held; they must not
    // call back into the network.
    void Route(const TSimSubmission &submission);
    // Moves every member of other into this network (and tells each). The network must be owned
    // by a shared pointer.
    void Absorb(TSimNetwork &other);

private:
    struct TMember {
        int id;
        std::string number;
        TReceiver receiver;
        TRebind rebind;
    };
    const TMember *find(const std::string &number) const;

    std::mutex m_mutex;
    std::vector<TMember> m_members;
};

class ISMSContext;
// The context under which the simulator's message objects encode and decode bare TPDUs (no
// service-centre field in front).
const ISMSContext *SimBareContext();

// Digits of a phone number, so that "+49171..." and "49171..." name the same subscriber.
std::string SimNumberDigits(const std::string &number);

// The SMS-DELIVER the recipient of an SMS-SUBMIT receives (TS 23.040 9.2.2.1): the user data,
// protocol identifier and coding pass unchanged; TP-SRI follows TP-SRR. Raises EGSMError (or
// EDateError) on a submission that does not decode.
std::string SimDeliverFromSubmit(const std::string &submitTpdu, const std::string &originator,
                                 TDateTime scts);
// The SMS-STATUS-REPORT telling the sender the message was delivered (TP-ST 0).
std::string SimStatusReportFor(const std::string &submitTpdu, TDateTime submitted, TDateTime discharged);

} // namespace kestrel
