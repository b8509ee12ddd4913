// Short messages in the simulated handset: storage, reading, listing, deleting, sending and the
// messages the network brings (TS 27.005 in PDU and text mode).
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "modemsim/simhandset.h"

#include "base/format.h"

#include <stdexcept>
#include <utility>

namespace kestrel {

namespace {

const char *const kStatusWords[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT", "ALL"};

int addressType(const std::string &number)
{
    return !number.empty() && number[0] == '+' ? 145 : 129;
}

// Message class of a data coding scheme (TS 23.038 4), or -1 for none.
int messageClass(uint8_t dcs)
{
    if ((dcs & 0xC0) == 0x00 && (dcs & 0x10))
        return dcs & 0x03;
    if ((dcs & 0xF0) == 0xF0)
        return dcs & 0x03;
    return -1;
}

// Text-mode data: characters for 7-bit text, hexadecimal octets for anything else.
std::string bodyText(const TSMS2 &m)
{
    if (m.SevenBit() && !m.FirstOctetBit(6))
        return GSMToText(m.UserData);
    return StrToHex(m.UserData);
}

std::string broadcastText(const TCellBroadcast &page)
{
    return page.SevenBit() ? GSMToText(page.Content) : StrToHex(page.Content);
}

std::string quoted(const std::string &s)
{
    return "\"" + s + "\"";
}

std::string stamp(TDateTime dt, int8_t zone)
{
    return quoted(FormatTimeStamp(dt, zone));
}

// The text form of a message's validity period for +CMGR (TS 27.005 3.1 <vp>).
std::string validityText(const TSMSSubmit &s)
{
    switch (s.FirstOctetField(3)) {
    case 2:
        return std::to_string(EncodeRelativeVP(s.VP));
    case 3:
        return stamp(s.VP, s.VPTimeZone);
    default:
        return {};
    }
}

std::unique_ptr<TSMS2> decodeStored(const std::string &tpdu, int status)
{
    try {
        return CreateSMSFromBytes(SimBareContext(), tpdu, status <= 1);
    } catch (const std::exception &) {
        return nullptr;
    }
}

} // namespace

// ---- storage

bool TSimHandset::resolve(const std::string &name, int index, TSlot &slot) const
{
    if (name == "MT" && hasMT()) {
        // The Nokia 6650 numbers its SIM slots first, then the phone's from 11 on.
        int sm = storageTotal("SM");
        slot = index > sm ? TSlot{"ME", index - sm} : TSlot{"SM", index};
    } else {
        slot = TSlot{name, index};
    }
    auto it = m_storages.find(slot.storage);
    return it != m_storages.end() && slot.index >= 1 && slot.index <= it->second.capacity;
}

bool TSimHandset::storeIn(const std::string &name, int status, const std::string &tpdu,
                          const std::string &sca, TSlot &slot)
{
    std::vector<std::string> order = {name};
    if (name == "MT")
        order = {"SM", "ME"};
    for (const auto &storageName : order) {
        auto it = m_storages.find(storageName);
        if (it == m_storages.end())
            continue;
        auto &storage = it->second;
        for (int i = 1; i <= storage.capacity; ++i) {
            if (!storage.entries.count(i)) {
                storage.entries[i] = TSimMessage{status, tpdu, sca};
                slot = TSlot{storageName, i};
                return true;
            }
        }
    }
    return false;
}

int TSimHandset::Store(const std::string &storage, int status, const std::string &tpdu)
{
    TSlot slot;
    if (!storeIn(storage, status, tpdu, m_sca, slot))
        return -1;
    return slot.index;
}

std::vector<TSimStoredMessage> TSimHandset::Stored() const
{
    std::vector<TSimStoredMessage> out;
    for (const auto &[name, storage] : m_storages)
        for (const auto &[index, m] : storage.entries)
            out.push_back({name, index, m.status, StrToHex(m.tpdu)});
    return out;
}

std::string TSimHandset::indication(const char *prefix, const TSlot &slot) const
{
    // The Nokia 6650 always names "MT"; a modem that offers it names it while it receives there.
    const bool mt = slot.storage == "SM" || slot.storage == "ME";
    if (mt && (m_profile.combinedMT || (m_profile.mtStorage && m_mem[2] == "MT"))) {
        int index = slot.storage == "ME" ? slot.index + storageTotal("SM") : slot.index;
        return Format("%s \"MT\",%d", prefix, index);
    }
    return Format("%s \"%s\",%d", prefix, slot.storage.c_str(), slot.index);
}

std::string TSimHandset::pduLine(const std::string &tpdu, const std::string &sca) const
{
    std::string head;
    if (m_profile.scaInPdu) {
        // TS 24.011 8.2.5.1: the service-centre field counts octets, the type included.
        std::string address = sca.empty() ? std::string() : EncodeAddress(sca);
        head = address.empty() ? std::string(1, '\0')
                               : std::string(1, static_cast<char>(address.size() - 1)) + address.substr(1);
    }
    return StrToHex(head + tpdu);
}

void TSimHandset::unsolicitedWithBody(const std::string &header, const std::string &body)
{
    if (m_off || m_silent)
        return;
    m_sink.Send("\r\n" + header + "\r\n" + body + "\r\n", {header, body}, false);
}

// ---- from the network

void TSimHandset::Arrive(const TSimArrival &arrival)
{
    if (m_off || m_sim != TSimState::Ready)
        return; // a handset that is off or locked is not reachable
    if (arrival.kind == TSimArrival::Deliver)
        deliverArrived(arrival.tpdu, arrival.sca);
    else
        reportArrived(arrival.tpdu, arrival.sca);
}

void TSimHandset::deliverArrived(const std::string &tpdu, const std::string &sca)
{
    TSMSDeliver deliver;
    deliver.GSM = SimBareContext();
    deliver.Decode(tpdu);
    int cls = messageClass(deliver.DCS);
    int mode = m_cnmi[0], mt = m_cnmi[1];
    // TS 27.005 3.4.1: <mt> 2 routes everything but class 2 directly, <mt> 3 only class 3.
    bool direct = mode != 0 && ((mt == 2 && cls != 2) || (mt == 3 && cls == 3));
    if (direct) {
        std::string header, body;
        if (m_cmgf == 0) {
            header = Format("+CMT: ,%zu", tpdu.size());
            body = pduLine(tpdu, sca);
        } else {
            header = "+CMT: " + quoted(toHostText(deliver.OA)) + ",," + stamp(deliver.SCTS, deliver.TimeZone);
            body = deliver.SevenBit() && !deliver.FirstOctetBit(6) ? toHostText(bodyText(deliver))
                                                                   : bodyText(deliver);
            if (m_csdh)
                header +=
                    Format(",%d,%d,%d,%d,\"%s\",%d,%zu", addressType(deliver.OA), deliver.FirstOctet,
                           deliver.PID, deliver.DCS, sca.c_str(), addressType(sca), deliver.UserData.size());
        }
        unsolicitedWithBody(header, body);
        if (m_service == 1)
            expectAcknowledgement({TSimArrival::Deliver, tpdu, sca});
        return;
    }
    TSlot slot;
    if (!storeIn(m_mem[2], 0, tpdu, sca, slot))
        return; // storage full: the network keeps trying elsewhere
    if (mode != 0 && mt != 0)
        unsolicited({indication("+CMTI:", slot)});
}

void TSimHandset::reportArrived(const std::string &tpdu, const std::string &sca)
{
    TSMSStatusReport report;
    report.GSM = SimBareContext();
    report.Decode(tpdu);
    int mode = m_cnmi[0], ds = m_cnmi[3];
    if (mode == 0 || ds == 0)
        return;
    // The T260 stores every status report and names it with "+CDS: <mem>,<index>".
    if (ds == 1 && !m_profile.cdsStorage) {
        if (m_cmgf == 0) {
            unsolicitedWithBody(Format("+CDS: %zu", tpdu.size()), pduLine(tpdu, sca));
        } else {
            unsolicited(
                {Format("+CDS: %d,%d,\"%s\",%d,%s,%s,%d", report.FirstOctet, report.MR, report.RA.c_str(),
                        addressType(report.RA), stamp(report.SCTS, report.TimeZone).c_str(),
                        stamp(report.DischargeTime, report.DischargeZone).c_str(), report.Status)});
        }
        if (m_service == 1)
            expectAcknowledgement({TSimArrival::StatusReport, tpdu, sca});
        return;
    }
    TSlot slot;
    // Status reports go where the modem keeps them apart, when it does.
    if (storeIn(m_profile.srStorage ? "SR" : m_mem[2], 0, tpdu, sca, slot))
        unsolicited({indication(m_profile.cdsStorage ? "+CDS:" : "+CDSI:", slot)});
}

void TSimHandset::Broadcast(const std::string &page)
{
    if (m_off || m_sim != TSimState::Ready)
        return;
    TCellBroadcast cb;
    cb.Decode(page);
    int mode = m_cnmi[0], bm = m_cnmi[2];
    if (mode == 0 || bm == 0)
        return;
    if (bm == 2 || bm == 3) {
        if (m_cmgf == 0)
            unsolicitedWithBody(Format("+CBM: %zu", page.size()), StrToHex(page));
        else
            unsolicitedWithBody(Format("+CBM: %d,%d,%d,%d,%d", cb.Serial() >> 4 & 0x3FF, cb.MessageId, cb.DCS,
                                       cb.PageNumber(), cb.PageCount()),
                                broadcastText(cb));
        return;
    }
    TSlot slot;
    if (storeIn("BM", 0, page, std::string(), slot))
        unsolicited({indication("+CBMI:", slot)});
}

// ---- reading and listing

void TSimHandset::appendMessage(const TSlot &slot, int listIndex, TAnswer &a)
{
    auto &entry = m_storages[slot.storage].entries[slot.index];
    int status = entry.status;
    // TS 27.005 3.4.2/3.4.3: reading a received unread message marks it read.
    if (entry.status == 0)
        entry.status = 1;
    const bool list = listIndex > 0;
    std::string head = list ? Format("+CMGL: %d,", listIndex) : std::string("+CMGR: ");
    if (m_cmgf == 0) {
        bool broadcast = slot.storage == "BM";
        a.lines.push_back(head + Format("%d,,%zu", status, entry.tpdu.size()));
        a.lines.push_back(broadcast ? StrToHex(entry.tpdu) : pduLine(entry.tpdu, entry.sca));
        return;
    }
    std::string word = quoted(kStatusWords[status & 3]);
    if (slot.storage == "BM") {
        TCellBroadcast cb;
        try {
            cb.Decode(entry.tpdu);
        } catch (const std::exception &) {
        }
        a.lines.push_back(head + word +
                          Format(",%d,%d,%d,%d,%d", cb.Serial() >> 4 & 0x3FF, cb.MessageId, cb.DCS,
                                 cb.PageNumber(), cb.PageCount()));
        a.lines.push_back(broadcastText(cb));
        return;
    }
    auto m = decodeStored(entry.tpdu, status);
    if (auto *d = dynamic_cast<TSMSDeliver *>(m.get())) {
        std::string line = head + word + "," + quoted(toHostText(d->OA)) + ",," + stamp(d->SCTS, d->TimeZone);
        if (m_csdh && list)
            line += Format(",%d,%zu", addressType(d->OA), d->UserData.size());
        else if (m_csdh)
            line += Format(",%d,%d,%d,%d,\"%s\",%d,%zu", addressType(d->OA), d->FirstOctet, d->PID, d->DCS,
                           entry.sca.c_str(), addressType(entry.sca), d->UserData.size());
        a.lines.push_back(line);
        a.lines.push_back(d->SevenBit() && !d->FirstOctetBit(6) ? toHostText(bodyText(*d)) : bodyText(*d));
    } else if (auto *s = dynamic_cast<TSMSSubmit *>(m.get())) {
        std::string line = head + word + "," + quoted(toHostText(s->DA));
        if (list)
            line += ",,";
        if (m_csdh && list)
            line += Format(",%d,%zu", addressType(s->DA), s->UserData.size());
        else if (m_csdh)
            line += Format(",,%d,%d,%d,%d,%s,\"%s\",%d,%zu", addressType(s->DA), s->FirstOctet, s->PID,
                           s->DCS, validityText(*s).c_str(), entry.sca.c_str(), addressType(entry.sca),
                           s->UserData.size());
        a.lines.push_back(line);
        a.lines.push_back(s->SevenBit() && !s->FirstOctetBit(6) ? toHostText(bodyText(*s)) : bodyText(*s));
    } else if (auto *r = dynamic_cast<TSMSStatusReport *>(m.get())) {
        a.lines.push_back(head + word +
                          Format(",%d,%d,\"%s\",%d,%s,%s,%d", r->FirstOctet, r->MR, r->RA.c_str(),
                                 addressType(r->RA), stamp(r->SCTS, r->TimeZone).c_str(),
                                 stamp(r->DischargeTime, r->DischargeZone).c_str(), r->Status));
    } else {
        // Nothing text mode can show (a command, or octets that do not decode).
        a.lines.push_back(head + word + ",\"\",");
        a.lines.push_back(StrToHex(entry.tpdu));
    }
}

void TSimHandset::cmdCmgr(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Test)
        return;
    int index = 0;
    TSlot slot;
    if (cmd.kind != TCommand::Set || cmd.params.size() != 1 || !ParseSimInt(cmd.params[0], index) ||
        !resolve(m_mem[0], index, slot)) {
        a.final = cmsError(321);
        return;
    }
    if (!m_storages[slot.storage].entries.count(slot.index)) {
        a.final = cmsError(321); // TS 27.005 3.2.5: invalid memory index (empty)
        return;
    }
    appendMessage(slot, 0, a);
}

void TSimHandset::cmdCmgl(const TCommand &cmd, TAnswer &a)
{
    // TS 27.005 3.4.2: without a parameter only received unread messages are listed.
    int wanted = 0;
    if (cmd.kind == TCommand::Test) {
        a.lines.push_back(m_cmgf == 0
                              ? "+CMGL: (0-4)"
                              : "+CMGL: (\"REC UNREAD\",\"REC READ\",\"STO UNSENT\",\"STO SENT\",\"ALL\")");
        return;
    }
    if (cmd.kind == TCommand::Set) {
        bool ok = cmd.params.size() == 1;
        if (ok && m_cmgf == 0) {
            ok = ParseSimInt(cmd.params[0], wanted) && wanted <= 4;
        } else if (ok) {
            ok = false;
            for (int i = 0; i < 5; ++i)
                if (cmd.params[0] == quoted(kStatusWords[i])) {
                    wanted = i;
                    ok = true;
                }
        }
        if (!ok) {
            a.final = cmsError(m_cmgf == 0 ? 304 : 305);
            return;
        }
    } else if (cmd.kind == TCommand::Read) {
        a.final = cmsError(302);
        return;
    }
    std::vector<std::string> names = {m_mem[0]};
    if (m_mem[0] == "MT" && hasMT())
        names = {"SM", "ME"};
    for (const auto &name : names) {
        auto it = m_storages.find(name);
        if (it == m_storages.end())
            continue;
        std::vector<int> indices;
        for (const auto &[index, m] : it->second.entries)
            if (wanted == 4 || m.status == wanted)
                indices.push_back(index);
        for (int index : indices) {
            int shown = m_mem[0] == "MT" && name == "ME" ? index + storageTotal("SM") : index;
            appendMessage(TSlot{name, index}, shown, a);
        }
    }
    // Wavecom answers an error where there is nothing to list.
    if (a.lines.empty() && m_profile.listEmptyError)
        a.final = cmsError(321);
}

void TSimHandset::cmdCmgd(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Test) {
        a.lines.push_back("+CMGD: (1-" + std::to_string(storageTotal(m_mem[0])) + "),(0-4)");
        return;
    }
    int index = 0, flag = 0;
    TSlot slot;
    if (cmd.kind != TCommand::Set || cmd.params.empty() || cmd.params.size() > 2 ||
        !ParseSimInt(cmd.params[0], index) || (cmd.params.size() == 2 && !ParseSimInt(cmd.params[1], flag)) ||
        flag > 4) {
        a.final = cmsError(302);
        return;
    }
    if (flag == 0) {
        if (!resolve(m_mem[0], index, slot)) {
            a.final = cmsError(321);
            return;
        }
        m_storages[slot.storage].entries.erase(slot.index);
        return;
    }
    // TS 27.005 3.5.4: 1 all read, 2 read and sent, 3 read, sent and unsent, 4 all.
    std::vector<std::string> names = {m_mem[0]};
    if (m_mem[0] == "MT" && hasMT())
        names = {"SM", "ME"};
    for (const auto &name : names) {
        auto &entries = m_storages[name].entries;
        for (auto it = entries.begin(); it != entries.end();) {
            int s = it->second.status;
            bool drop = flag == 4 || s == 1 || (flag >= 2 && s == 3) || (flag >= 3 && s == 2);
            it = drop ? entries.erase(it) : std::next(it);
        }
    }
}

// ---- sending and writing

void TSimHandset::cmdCmgs(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Test)
        return;
    if (cmd.kind != TCommand::Set || cmd.params.empty() || cmd.params.size() > 2) {
        a.final = cmsError(m_cmgf == 0 ? 304 : 305);
        return;
    }
    m_dataFor = TDataFor::Send;
    if (m_cmgf == 0) {
        if (!ParseSimInt(cmd.params[0], m_dataLength) || m_dataLength > 176) {
            a.final = cmsError(304);
            return;
        }
    } else {
        try {
            m_dataAddress = fromHostText(Unquote(cmd.params[0]));
        } catch (const std::exception &) {
            m_dataAddress.clear(); // not the hexadecimal UCS2 the character set asks for
        }
        if (m_dataAddress.empty() || cmd.params[0].front() != '"') {
            a.final = cmsError(305);
            return;
        }
    }
    a.prompt = true;
}

void TSimHandset::cmdCmgw(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Test)
        return;
    m_dataFor = TDataFor::Write;
    m_dataStatus = 2;
    m_dataAddress.clear();
    if (m_cmgf == 0) {
        if (cmd.kind != TCommand::Set || cmd.params.empty() || cmd.params.size() > 2 ||
            !ParseSimInt(cmd.params[0], m_dataLength) || m_dataLength > 176 ||
            (cmd.params.size() == 2 && (!ParseSimInt(cmd.params[1], m_dataStatus) || m_dataStatus > 3))) {
            a.final = cmsError(304);
            return;
        }
    } else if (cmd.kind == TCommand::Set) {
        if (cmd.params.empty()) {
            a.final = cmsError(305);
            return;
        }
        try {
            m_dataAddress = fromHostText(Unquote(cmd.params[0]));
        } catch (const std::exception &) {
            a.final = cmsError(305);
            return;
        }
        if (cmd.params.size() == 3) {
            m_dataStatus = -1;
            for (int i = 0; i < 4; ++i)
                if (cmd.params[2] == quoted(kStatusWords[i]))
                    m_dataStatus = i;
        }
        if (m_dataStatus < 0 || cmd.params.size() > 3) {
            a.final = cmsError(305);
            return;
        }
    } else if (cmd.kind != TCommand::Exec) {
        a.final = cmsError(305);
        return;
    }
    a.prompt = true;
}

void TSimHandset::dataReceived(bool cancelled)
{
    m_dataMode = false;
    std::string data;
    data.swap(m_data);
    m_sink.Received(data, false);
    TAnswer answer;
    // TS 27.005 3.5.1: ESC cancels the message.
    if (!cancelled) {
        if (m_dataFor == TDataFor::Send)
            submitData(data, answer);
        else
            writeData(data, answer);
    }
    std::string echo = m_echo ? data : std::string();
    std::vector<std::string> lines = answer.lines;
    if (!m_quiet)
        lines.push_back(answer.final);
    sendAnswer(m_dataCommand, echo + frame(answer, true), lines);
}

// The SMS-SUBMIT octets of a data part, or an error code for the host.
static int submitFromData(const std::string &data, bool pdu, bool scaInPdu, int lengthGiven, bool checkLength,
                          const std::function<std::string(const std::string &, int &)> &fromText,
                          std::string &tpdu)
{
    if (!pdu) {
        int error = 0;
        tpdu = fromText(data, error);
        return error;
    }
    std::string hex;
    for (char c : data)
        if (c != '\r' && c != '\n' && c != ' ')
            hex += c;
    std::string octets;
    try {
        if (hex.size() % 2)
            return 304;
        octets = HexToStr(hex);
    } catch (const std::exception &) {
        return 304;
    }
    size_t head = 0;
    if (scaInPdu) {
        if (octets.empty())
            return 304;
        head = 1u + static_cast<uint8_t>(octets[0]);
        if (head > octets.size())
            return 304;
    }
    tpdu = octets.substr(head);
    if (checkLength && static_cast<size_t>(lengthGiven) != tpdu.size())
        return 304; // TS 27.005 3.5.1: <length> counts the TPDU octets
    return 0;
}

void TSimHandset::submitData(const std::string &data, TAnswer &a)
{
    auto fromText = [this](const std::string &text, int &error) -> std::string {
        TSMSSubmit s;
        s.GSM = SimBareContext();
        s.FirstOctet = static_cast<uint8_t>((m_csmpFo & 0xFC) | 0x01);
        s.DA = m_dataAddress;
        s.PID = static_cast<uint8_t>(m_csmpPid);
        s.DCS = static_cast<uint8_t>(m_csmpDcs);
        try {
            if (s.FirstOctetField(3) == 2)
                s.VP = DecodeRelativeVP(static_cast<uint8_t>(m_csmpVp));
            else if (s.FirstOctetField(3) == 3 && !m_csmpVpAbsolute.empty())
                s.VP = ParseTimeStamp(m_csmpVpAbsolute, s.VPTimeZone, "validity period");
            else
                s.FirstOctet &= 0xE7;
            if (s.SevenBit()) {
                s.UserData = TextToGSM(fromHostText(text));
                if (s.UserData.size() > 160)
                    error = 305;
            } else {
                s.UserData = HexToStr(text);
                if (s.UserData.size() > 140)
                    error = 305;
            }
        } catch (const std::exception &) {
            error = 305;
        }
        return error ? std::string() : s.Encode();
    };
    std::string tpdu;
    int error = submitFromData(data, m_cmgf == 0, m_profile.scaInPdu, m_dataLength,
                               !m_profile.cmgsLengthIgnored, fromText, tpdu);
    std::unique_ptr<TSMS2> sms;
    if (!error) {
        sms = decodeStored(tpdu, 2);
        if (!sms || (!dynamic_cast<TSMSSubmit *>(sms.get()) && !dynamic_cast<TSMSCommand *>(sms.get())))
            error = m_cmgf == 0 ? 304 : 305;
    }
    if (error) {
        a.final = cmsError(error);
        return;
    }
    if (m_sca.empty()) {
        a.final = cmsError(330); // TS 27.005 3.2.5: SMSC address unknown
        return;
    }
    // The handset numbers what it sends (TS 23.040 9.2.3.6: TP-MR follows the first octet).
    int reference = m_nextReference;
    m_nextReference = (m_nextReference + 1) % 256;
    tpdu[1] = static_cast<char>(reference);

    TSimSentMessage sent;
    sent.reference = reference;
    sent.textMode = m_cmgf == 1;
    sent.lengthGiven = m_cmgf == 0 ? m_dataLength : -1;
    sent.command = m_dataCommand;
    sent.data = data;
    sent.tpdu = StrToHex(tpdu);
    if (auto *s = dynamic_cast<TSMSSubmit *>(sms.get()))
        sent.destination = s->DA;
    else if (auto *c = dynamic_cast<TSMSCommand *>(sms.get()))
        sent.destination = c->DA;
    m_sink.MessageSent(sent);
    a.lines.push_back(Format("+CMGS: %d", reference));

    if (dynamic_cast<TSMSSubmit *>(sms.get())) {
        TSimSubmission submission{m_options.ownNumber, tpdu, m_sca, NowUTC()};
        m_sink.Schedule(m_options.deliveryDelayMs, [this, submission] { m_sink.ToNetwork(submission); });
    }
}

void TSimHandset::writeData(const std::string &data, TAnswer &a)
{
    std::string tpdu;
    auto fromText = [this](const std::string &text, int &error) -> std::string {
        TSMSSubmit s;
        s.GSM = SimBareContext();
        s.FirstOctet = static_cast<uint8_t>((m_csmpFo & 0xE4) | 0x01); // no validity period stored
        s.DA = m_dataAddress;
        s.PID = static_cast<uint8_t>(m_csmpPid);
        s.DCS = static_cast<uint8_t>(m_csmpDcs);
        try {
            s.UserData = s.SevenBit() ? TextToGSM(fromHostText(text)) : HexToStr(text);
        } catch (const std::exception &) {
            error = 305;
        }
        return error ? std::string() : s.Encode();
    };
    int error = submitFromData(data, m_cmgf == 0, m_profile.scaInPdu, m_dataLength, true, fromText, tpdu);
    if (!error && !decodeStored(tpdu, m_dataStatus))
        error = m_cmgf == 0 ? 304 : 305;
    if (error) {
        a.final = cmsError(error);
        return;
    }
    TSlot slot;
    if (!storeIn(m_mem[1], m_dataStatus, tpdu, m_sca, slot)) {
        a.final = cmsError(322); // memory full
        return;
    }
    a.lines.push_back(Format("+CMGW: %d", slot.storage == "ME" && m_mem[1] == "MT"
                                              ? slot.index + storageTotal("SM")
                                              : slot.index));
}

void TSimHandset::expectAcknowledgement(const TSimArrival &arrival)
{
    m_unacknowledged.push_back(arrival);
    ++m_routedCount;
    if (m_options.ackTimeoutMs <= 0)
        return;
    long long routed = m_routedCount;
    m_sink.Schedule(m_options.ackTimeoutMs, [this, routed] {
        if (m_ackedCount >= routed)
            return;
        // TS 27.005 3.4.4: without acknowledgement the handset stops routing to the host.
        m_cnmi[1] = 0;
        m_cnmi[3] = 0;
        m_ackedCount = m_routedCount;
        // It answered the network with an error: the service centre keeps each message and
        // delivers it again later (its retry, TS 23.040), into the storage now.
        const auto failed = std::exchange(m_unacknowledged, {});
        if (m_options.redeliveryMs > 0)
            for (const TSimArrival &a : failed)
                m_sink.Schedule(m_options.redeliveryMs, [this, a] { Arrive(a); });
    });
}

void TSimHandset::cmdCnma(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Test) {
        a.lines.push_back("+CNMA: (0-2)");
        return;
    }
    // TS 27.005 3.4.4: only phase 2+ expects acknowledgements, and only for a routed message.
    if (cmd.kind == TCommand::Set && !(cmd.params.size() == 1 && cmd.params[0] == "0")) {
        a.final = cmsError(303);
        return;
    }
    if (m_service != 1 || m_unacknowledged.empty()) {
        a.final = cmsError(340);
        return;
    }
    m_unacknowledged.pop_front();
    ++m_ackedCount;
}

} // namespace kestrel
