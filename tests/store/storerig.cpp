#include "storerig.h"

#include "connect/connection.h"
#include "gsm/tpdufields.h"
#include "modemsim/simnetwork.h"

#include <unistd.h>

namespace kestrel::storetest {

TArrival Delivered(const TSMSSubmit &Submit, const std::string &From, TDateTime SCTS)
{
    // As the network turns a submission into what its recipient receives.
    TSMSSubmit bare = Submit;
    bare.GSM = SimBareContext();
    TArrival a;
    a.Raw = "00" + StrToHex(SimDeliverFromSubmit(bare.Encode(), From, SCTS));
    a.SMS = CreateSMSFromPDU(nullptr, a.Raw, true);
    return a;
}

TArrival Deliver(const std::string &From, uint8_t DCS, const std::string &UserData, TDateTime SCTS, bool UDHI)
{
    TSMSSubmit s;
    s.DCS = DCS;
    s.UserData = UserData;
    s.SetFirstOctetBit(6, UDHI);
    return Delivered(s, From, SCTS);
}

std::vector<TArrival> Received(const TMessageContent &Content, const std::string &From, TDateTime SCTS,
                               uint32_t Reference)
{
    TMessageComposer composer;
    composer.ReferenceCounter = Reference;
    std::vector<TArrival> out;
    for (const auto &s : composer.Compose("+4915100000001", Content))
        out.push_back(Delivered(*s, From, SCTS));
    return out;
}

TArrival Report(const std::string &Recipient, int MR, int Status, TDateTime When)
{
    TSMSStatusReport r;
    r.MR = static_cast<uint8_t>(MR);
    r.RA = Recipient;
    r.SCTS = When;
    r.DischargeTime = When;
    r.Status = static_cast<uint8_t>(Status);
    TArrival a;
    a.Raw = r.GetPDU();
    a.SMS = CreateSMSFromPDU(nullptr, a.Raw, true);
    return a;
}

TDateTime At(double Days)
{
    return EncodeDate(2024, 5, 1) + 0.5 + Days;
}

std::filesystem::path ScratchFolder()
{
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() / ("kestrel-store-" + std::to_string(getpid()));
        std::filesystem::remove_all(d);
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

namespace {
// The scratch folder goes when the tests end.
class TScratchCleanup : public ::testing::Environment {
public:
    void TearDown() override { std::filesystem::remove_all(ScratchFolder()); }
};
[[maybe_unused]] ::testing::Environment *const cleanup =
    ::testing::AddGlobalTestEnvironment(new TScratchCleanup);
} // namespace

void StoreTest::SetUp()
{
    location = NewStoreLocation(GetParam());
}

std::unique_ptr<TMessageStore> StoreTest::Open(const TStoreSettings &Settings) const
{
    return TMessageStore::Open(location, Settings);
}

TRecordResult StoreTest::RecordAll(TMessageStore &Store, const std::vector<TArrival> &Arrivals,
                                   TDateTime When, const std::vector<int> &Order)
{
    TRecordResult last;
    for (size_t i = 0; i < Arrivals.size(); ++i) {
        const size_t k = Order.empty() ? i : static_cast<size_t>(Order[i]);
        last = Store.RecordReceived(Arrivals[k].Raw, false, Arrivals[k].SMS.get(), When, -1);
    }
    return last;
}

} // namespace kestrel::storetest
