// What the store tests share: a fresh store per test on each back end (a real SQLite file in a
// scratch folder, a database of its own on a real PostgreSQL server), and received messages made
// the way a handset would store them (a composed SMS-SUBMIT turned into the SMS-DELIVER its
// recipient gets, then read back from its PDU).
#pragma once

#include "base/datetime.h"
#include "gsm/sms.h"
#include "store/messagestore.h"
#include "xsms/composer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::storetest {

// A received message: the handset's PDU line and the object decoded from it.
struct TArrival {
    std::string Raw;
    std::unique_ptr<TSMS2> SMS;
};

// The SMS-DELIVER that the recipient of Submit stores, sent by From at SCTS.
TArrival Delivered(const TSMSSubmit &Submit, const std::string &From, TDateTime SCTS);
// A deliver built from its fields (DCS, user data with the header first when UDHI).
TArrival Deliver(const std::string &From, uint8_t DCS, const std::string &UserData, TDateTime SCTS,
                 bool UDHI = false);
// Every segment of Content composed to a recipient, as received from From.
std::vector<TArrival> Received(const TMessageContent &Content, const std::string &From, TDateTime SCTS,
                               uint32_t Reference = 7);
// A status report on the message reference MR to Recipient with TP-ST Status.
TArrival Report(const std::string &Recipient, int MR, int Status, TDateTime When);

// A point in time for the tests: 2024-05-01 12:00 UTC plus Days.
TDateTime At(double Days = 0);

// Back ends by name: "sqlite" or "postgresql".
std::string NewStoreLocation(const std::string &Backend);
// The scratch folder of this test program (removed at its end).
std::filesystem::path ScratchFolder();

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override;
    std::unique_ptr<TMessageStore> Open(const TStoreSettings &Settings = {}) const;
    // Records every arrival in order; the result of the last.
    TRecordResult RecordAll(TMessageStore &Store, const std::vector<TArrival> &Arrivals, TDateTime When,
                            const std::vector<int> &Order = {});

    std::string location;
};

} // namespace kestrel::storetest
