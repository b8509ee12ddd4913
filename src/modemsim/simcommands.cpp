// The AT commands the simulated handset understands, one handler each, routed by one table.
#include "modemsim/simhandset.h"

#include "base/format.h"

#include <set>

namespace kestrel {

namespace {

// The values of a range list item such as "(0-2)", "(0,2,3)" or "0".
std::set<int> rangeValues(std::string_view item)
{
    std::set<int> values;
    std::string digits;
    int from = -1;
    auto flush = [&](char sep) {
        int v = 0;
        if (!ParseSimInt(digits, v)) {
            digits.clear();
            return;
        }
        if (from >= 0 && v >= from && v - from < 256) {
            for (int k = from; k <= v; ++k)
                values.insert(k);
        } else {
            values.insert(v);
        }
        from = sep == '-' ? v : -1;
        digits.clear();
    };
    for (char c : item) {
        if (c >= '0' && c <= '9')
            digits += c;
        else if (c == '-' || c == ',' || c == ')')
            flush(c);
    }
    flush(')');
    return values;
}

// Splits "(0-2),(0-3),(0,2)" into its parenthesised items.
std::vector<std::string> rangeItems(std::string_view text)
{
    std::vector<std::string> items;
    int depth = 0;
    std::string cur;
    for (char c : text) {
        if (c == '(')
            ++depth;
        else if (c == ')' && depth > 0)
            --depth;
        if (c == ',' && depth == 0) {
            items.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    items.push_back(cur);
    return items;
}

} // namespace

const std::map<std::string, TSimHandset::THandlerEntry> &TSimHandset::handlers()
{
    using H = TSimHandset;
    using N = TNeeds;
    static const std::map<std::string, THandlerEntry> table = {
        {"E", {&H::cmdEcho, N::Nothing}},
        {"V", {&H::cmdVerbose, N::Nothing}},
        {"Q", {&H::cmdQuiet, N::Nothing}},
        {"Z", {&H::cmdReset, N::Nothing}},
        {"&F", {&H::cmdReset, N::Nothing}},
        {"I", {&H::cmdInfo, N::Nothing}},
        {"H", {&H::cmdOk, N::Nothing}},
        {"&C", {&H::cmdOk, N::Nothing}},
        {"&D", {&H::cmdOk, N::Nothing}},
        {"&W", {&H::cmdOk, N::Nothing}},
        {"S", {&H::cmdOk, N::Nothing}},
        {"D", {&H::cmdDial, N::Nothing}},
        {"+CGMI", {&H::cmdManufacturer, N::Nothing}},
        {"+GMI", {&H::cmdManufacturer, N::Nothing}},
        {"+CGMM", {&H::cmdModel, N::Nothing}},
        {"+GMM", {&H::cmdModel, N::Nothing}},
        {"+CGMR", {&H::cmdRevision, N::Nothing}},
        {"+GMR", {&H::cmdRevision, N::Nothing}},
        {"+CGSN", {&H::cmdSerial, N::Nothing}},
        {"+GSN", {&H::cmdSerial, N::Nothing}},
        {"+CIMI", {&H::cmdCimi, N::SimCme}},
        {"+CMEE", {&H::cmdCmee, N::Nothing}},
        {"+CPIN", {&H::cmdCpin, N::Nothing}},
        {"+CREG", {&H::cmdCreg, N::Nothing}},
        {"+CEREG", {&H::cmdCereg, N::Nothing}},
        {"+C5GREG", {&H::cmdC5greg, N::Nothing}},
        {"+CSQ", {&H::cmdCsq, N::Nothing}},
        {"+COPS", {&H::cmdCops, N::SimCme}},
        {"+CFUN", {&H::cmdCfun, N::Nothing}},
        {"^SMSO", {&H::cmdSmso, N::Nothing}},
        {"+WIND", {&H::cmdWind, N::Nothing}},
        {"+CSCS", {&H::cmdCscs, N::Nothing}},
        {"+CSMS", {&H::cmdCsms, N::Nothing}},
        {"+CMGF", {&H::cmdCmgf, N::Nothing}},
        {"+CSCA", {&H::cmdCsca, N::SimCms}},
        {"+CSDH", {&H::cmdCsdh, N::Nothing}},
        {"+CSMP", {&H::cmdCsmp, N::Nothing}},
        {"+CNMI", {&H::cmdCnmi, N::Nothing}},
        {"+CPMS", {&H::cmdCpms, N::SimCms}},
        {"+CMGS", {&H::cmdCmgs, N::SimCms}},
        {"+CMGW", {&H::cmdCmgw, N::SimCms}},
        {"+CMGR", {&H::cmdCmgr, N::SimCms}},
        {"+CMGL", {&H::cmdCmgl, N::SimCms}},
        {"+CMGD", {&H::cmdCmgd, N::SimCms}},
        {"+CNMA", {&H::cmdCnma, N::SimCms}},
        {"+CUSD", {&H::cmdCusd, N::SimCme}},
        {"+CPBS", {&H::cmdCpbs, N::SimCme}},
        {"+CPBR", {&H::cmdCpbr, N::SimCme}},
        {"+CPBW", {&H::cmdCpbw, N::SimCme}},
    };
    return table;
}

// A basic command's single digit parameter (missing = 0) within 0..max.
static bool basicFlag(const std::string &args, int max, int &value)
{
    if (args.empty()) {
        value = 0;
        return true;
    }
    return ParseSimInt(args, value) && value <= max;
}

void TSimHandset::cmdEcho(const TCommand &cmd, TAnswer &a)
{
    int v;
    if (basicFlag(cmd.args, 1, v))
        m_echo = v == 1;
    else
        a.final = "ERROR";
}

void TSimHandset::cmdVerbose(const TCommand &cmd, TAnswer &a)
{
    int v;
    if (basicFlag(cmd.args, 1, v))
        m_verbose = v == 1;
    else
        a.final = "ERROR";
}

void TSimHandset::cmdQuiet(const TCommand &cmd, TAnswer &a)
{
    int v;
    if (basicFlag(cmd.args, 1, v))
        m_quiet = v == 1;
    else
        a.final = "ERROR";
}

void TSimHandset::cmdReset(const TCommand &, TAnswer &)
{
    reset();
}

void TSimHandset::cmdInfo(const TCommand &, TAnswer &a)
{
    a.lines.push_back(m_profile.manufacturer);
    a.lines.push_back(m_profile.model);
    a.lines.push_back(m_profile.revision.back());
}

void TSimHandset::cmdOk(const TCommand &, TAnswer &) {}

void TSimHandset::cmdDial(const TCommand &, TAnswer &a)
{
    // The simulated network carries no calls.
    a.final = "NO CARRIER";
}

void TSimHandset::cmdManufacturer(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Exec)
        a.lines.push_back(m_profile.manufacturer);
}

void TSimHandset::cmdModel(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Exec)
        a.lines.push_back(m_profile.model);
}

void TSimHandset::cmdRevision(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Exec)
        a.lines = m_profile.revision;
}

void TSimHandset::cmdSerial(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Exec)
        a.lines.push_back(m_profile.serial);
}

void TSimHandset::cmdCimi(const TCommand &cmd, TAnswer &a)
{
    // TS 23.003 2.2: the home network's MCC and MNC, then the subscriber's number, 15 digits.
    if (cmd.kind == TCommand::Exec)
        a.lines.push_back((m_options.operatorNumeric + "0123456789").substr(0, 15));
    else if (cmd.kind != TCommand::Test)
        a.final = cmeError(50);
}

void TSimHandset::cmdCmee(const TCommand &cmd, TAnswer &a)
{
    int v = 0;
    switch (cmd.kind) {
    case TCommand::Set:
        if (cmd.params.size() == 1 && ParseSimInt(cmd.params[0], v) && v <= 2)
            m_cmee = v;
        else
            a.final = cmeError(50);
        break;
    case TCommand::Read:
        a.lines.push_back(Format("+CMEE: %d", m_cmee));
        break;
    case TCommand::Test:
        a.lines.push_back("+CMEE: (0-2)");
        break;
    default:
        a.final = cmeError(50);
    }
}

void TSimHandset::cmdCpin(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Test)
        return;
    if (cmd.kind == TCommand::Read) {
        switch (m_sim) {
        case TSimState::Ready:
            a.lines.push_back("+CPIN: READY");
            break;
        case TSimState::Pin:
            a.lines.push_back("+CPIN: SIM PIN");
            break;
        case TSimState::Puk:
            a.lines.push_back("+CPIN: SIM PUK");
            break;
        case TSimState::Failure:
            a.final = cmeError(13);
            break;
        }
        return;
    }
    if (cmd.kind != TCommand::Set || cmd.params.empty() || cmd.params.size() > 2) {
        a.final = cmeError(50);
        return;
    }
    std::string code = Unquote(cmd.params[0]);
    switch (m_sim) {
    case TSimState::Ready:
        // TS 27.007 8.3: no code is pending.
        a.final = cmeError(3);
        break;
    case TSimState::Pin:
        if (code == m_pin) {
            simBecameReady();
        } else {
            a.final = cmeError(16);
            if (--m_pinAttempts <= 0) {
                m_sim = TSimState::Puk;
                if (m_puk.empty())
                    m_puk = "12345678";
            }
        }
        break;
    case TSimState::Puk:
        if (cmd.params.size() == 2 && code == m_puk && !Unquote(cmd.params[1]).empty()) {
            m_pin = Unquote(cmd.params[1]);
            simBecameReady();
        } else if (cmd.params.size() != 2) {
            a.final = cmeError(12);
        } else {
            a.final = cmeError(16);
            if (--m_pukAttempts <= 0)
                m_sim = TSimState::Failure;
        }
        break;
    case TSimState::Failure:
        a.final = cmeError(13);
        break;
    }
}

void TSimHandset::cmdCreg(const TCommand &cmd, TAnswer &a)
{
    if (!m_profile.creg) {
        a.final = "ERROR";
        return;
    }
    registrationCommand(cmd, a, "+CREG", m_cregMode, m_options.lteOnly ? 0 : effectiveRegistration());
}

void TSimHandset::cmdCereg(const TCommand &cmd, TAnswer &a)
{
    if (!m_profile.cereg) {
        a.final = cmeError(4);
        return;
    }
    registrationCommand(cmd, a, "+CEREG", m_ceregMode, effectiveRegistration());
}

void TSimHandset::cmdC5greg(const TCommand &cmd, TAnswer &a)
{
    if (!m_profile.c5greg) {
        a.final = cmeError(4);
        return;
    }
    registrationCommand(cmd, a, "+C5GREG", m_c5gregMode, effectiveRegistration());
}

// +CREG and its LTE and 5G kin share their form (TS 27.007 7.2, 10.1.22, 10.1.56).
void TSimHandset::registrationCommand(const TCommand &cmd, TAnswer &a, const char *name, int &mode,
                                      int status)
{
    int v = 0;
    switch (cmd.kind) {
    case TCommand::Set:
        if (cmd.params.size() == 1 && ParseSimInt(cmd.params[0], v) && v <= 2)
            mode = v;
        else
            a.final = cmeError(50);
        break;
    case TCommand::Read:
        if (mode == 2 && (status == 1 || status == 5))
            a.lines.push_back(Format("%s: 2,%d,\"00C3\",\"1A2B\"", name, status));
        else
            a.lines.push_back(Format("%s: %d,%d", name, mode, status));
        break;
    case TCommand::Test:
        a.lines.push_back(std::string(name) + ": (0-2)");
        break;
    default:
        a.final = cmeError(50);
    }
}

void TSimHandset::cmdCsq(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Exec)
        a.lines.push_back(Format("+CSQ: %d,99", reportedSignal()));
    else if (cmd.kind == TCommand::Test)
        a.lines.push_back("+CSQ: (0-31,99),(0-7,99)");
    else
        a.final = cmeError(50);
}

// TS 27.007 7.3. Current modules give the access technology (E-UTRAN, 7); the handsets of the
// list knew no <AcT>. A modem that knows its network only by code answers the code in every format.
void TSimHandset::cmdCops(const TCommand &cmd, TAnswer &a)
{
    const bool act = m_profile.cereg;
    const std::string home = m_options.operatorNumeric;
    int v = 0;
    switch (cmd.kind) {
    case TCommand::Read: {
        const int status = effectiveRegistration();
        if (status != 1 && status != 5) {
            a.lines.push_back(Format("+COPS: %d", m_copsMode));
            break;
        }
        const int format = m_options.numericOperatorOnly ? 2 : m_copsFormat;
        // Names are text of the host's character set; the numeric form stays digits under all.
        const std::string name = format == 2   ? home
                                 : format == 1 ? m_options.operatorShortName
                                               : m_options.operatorName;
        a.lines.push_back(Format("+COPS: %d,%d,\"%s\"", m_copsMode, format,
                                 (format == 2 ? name : toHostText(name)).c_str()) +
                          (act ? ",7" : ""));
        break;
    }
    case TCommand::Test:
        a.lines.push_back(
            Format("+COPS: (2,\"%s\",\"%s\",\"%s\"%s),(3,\"Other Net\",\"OTHER\",\"26298\"%s),,(0-4),(0-2)",
                   m_options.operatorName.c_str(), m_options.operatorShortName.c_str(), home.c_str(),
                   act ? ",7" : "", act ? ",0" : ""));
        break;
    case TCommand::Set:
        // <mode>[,<format>[,<oper>[,<AcT>]]]: only the home network can be chosen by hand.
        if (cmd.params.empty() || !ParseSimInt(cmd.params[0], v) || v > 4) {
            a.final = cmeError(50);
            break;
        }
        if (cmd.params.size() >= 2) {
            int format = 0;
            if (!ParseSimInt(cmd.params[1], format) || format > 2) {
                a.final = cmeError(50);
                break;
            }
            if ((v == 1 || v == 4) && cmd.params.size() >= 3 && Unquote(cmd.params[2]) != home &&
                Unquote(cmd.params[2]) != m_options.operatorName &&
                Unquote(cmd.params[2]) != m_options.operatorShortName) {
                a.final = cmeError(v == 1 ? 32 : 50); // network not allowed
                break;
            }
            m_copsFormat = format;
        }
        if (v != 3)
            m_copsMode = v == 4 ? 0 : v;
        break;
    default:
        a.final = cmeError(50);
    }
}

void TSimHandset::cmdCfun(const TCommand &cmd, TAnswer &a)
{
    int v = 0;
    if (cmd.kind == TCommand::Read) {
        a.lines.push_back("+CFUN: 1");
    } else if (cmd.kind == TCommand::Test) {
        a.lines.push_back(m_profile.switchOff == TSimSwitchOff::CfunZero ? "+CFUN: (0,1)" : "+CFUN: (1)");
    } else if (cmd.kind == TCommand::Set && !cmd.params.empty() && ParseSimInt(cmd.params[0], v) && v <= 1) {
        // Only the Ericsson module powers down with +CFUN=0.
        if (v == 0 && m_profile.switchOff != TSimSwitchOff::CfunZero)
            a.final = cmeError(4);
        else if (v == 0)
            m_switchingOff = true;
    } else {
        a.final = cmeError(50);
    }
}

void TSimHandset::cmdSmso(const TCommand &cmd, TAnswer &a)
{
    // Siemens handsets power down with ^SMSO and say so before they go.
    if (m_profile.switchOff != TSimSwitchOff::Smso || cmd.kind != TCommand::Exec) {
        a.final = "ERROR";
        return;
    }
    a.lines.push_back("^SMSO: MS OFF");
    m_switchingOff = true;
}

void TSimHandset::cmdWind(const TCommand &cmd, TAnswer &a)
{
    if (!m_profile.wind) {
        a.final = "ERROR";
        return;
    }
    int v = 0;
    if (cmd.kind == TCommand::Set && cmd.params.size() == 1 && ParseSimInt(cmd.params[0], v) && v <= 1023)
        m_windMask = v;
    else if (cmd.kind == TCommand::Read)
        a.lines.push_back(Format("+WIND: %d", m_windMask));
    else if (cmd.kind == TCommand::Test)
        a.lines.push_back("+WIND: (0-1023)");
    else
        a.final = cmeError(50);
}

void TSimHandset::cmdCscs(const TCommand &cmd, TAnswer &a)
{
    static const std::set<std::string> sets = {"GSM", "IRA", "UCS2", "HEX", "8859-1", "PCCP437"};
    if (cmd.kind == TCommand::Set && cmd.params.size() == 1 && sets.count(Unquote(cmd.params[0])))
        m_cscs = Unquote(cmd.params[0]);
    else if (cmd.kind == TCommand::Read)
        a.lines.push_back("+CSCS: \"" + m_cscs + "\"");
    else if (cmd.kind == TCommand::Test)
        a.lines.push_back("+CSCS: (\"GSM\",\"IRA\",\"UCS2\",\"HEX\",\"8859-1\",\"PCCP437\")");
    else
        a.final = cmeError(50);
}

void TSimHandset::cmdCsms(const TCommand &cmd, TAnswer &a)
{
    int v = 0;
    switch (cmd.kind) {
    case TCommand::Set:
        if (cmd.params.size() == 1 && ParseSimInt(cmd.params[0], v) &&
            rangeValues(m_profile.csmsServices).count(v)) {
            m_service = v;
            a.lines.push_back("+CSMS: 1,1,1");
        } else {
            a.final = cmsError(303);
        }
        break;
    case TCommand::Read:
        a.lines.push_back(Format("+CSMS: %d,1,1,1", m_service));
        break;
    case TCommand::Test:
        a.lines.push_back(std::string("+CSMS: ") + m_profile.csmsServices);
        break;
    default:
        a.final = cmsError(302);
    }
}

void TSimHandset::cmdCmgf(const TCommand &cmd, TAnswer &a)
{
    int v = 0;
    switch (cmd.kind) {
    case TCommand::Set:
        if (cmd.params.size() == 1 && ParseSimInt(cmd.params[0], v) &&
            ((v == 0 && m_profile.pduMode) || (v == 1 && m_profile.textMode)))
            m_cmgf = v;
        else
            a.final = cmsError(303);
        break;
    case TCommand::Read:
        a.lines.push_back(Format("+CMGF: %d", m_cmgf));
        break;
    case TCommand::Test:
        a.lines.push_back(m_profile.pduMode && m_profile.textMode ? "+CMGF: (0,1)"
                          : m_profile.pduMode                     ? "+CMGF: (0)"
                                                                  : "+CMGF: (1)");
        break;
    default:
        a.final = cmsError(302);
    }
}

void TSimHandset::cmdCsca(const TCommand &cmd, TAnswer &a)
{
    int type = 0;
    switch (cmd.kind) {
    case TCommand::Set:
        if (cmd.params.empty() || cmd.params.size() > 2 ||
            (cmd.params.size() == 2 && !ParseSimInt(cmd.params[1], type))) {
            a.final = cmsError(304);
            break;
        }
        // An empty number keeps the centre stored on the SIM: hosts write AT+CSCA="" when their
        // user configured none.
        if (std::string number = Unquote(cmd.params[0]); !number.empty())
            m_sca = (type == 145 && number[0] != '+') ? "+" + number : number;
        break;
    case TCommand::Read:
        a.lines.push_back(
            Format("+CSCA: \"%s\",%d", m_sca.c_str(), !m_sca.empty() && m_sca[0] == '+' ? 145 : 129));
        break;
    case TCommand::Test:
        break;
    default:
        a.final = cmsError(302);
    }
}

void TSimHandset::cmdCsdh(const TCommand &cmd, TAnswer &a)
{
    int v = 0;
    if (cmd.kind == TCommand::Set && cmd.params.size() == 1 && ParseSimInt(cmd.params[0], v) && v <= 1)
        m_csdh = v;
    else if (cmd.kind == TCommand::Read)
        a.lines.push_back(Format("+CSDH: %d", m_csdh));
    else if (cmd.kind == TCommand::Test)
        a.lines.push_back("+CSDH: (0,1)");
    else
        a.final = cmsError(305);
}

void TSimHandset::cmdCsmp(const TCommand &cmd, TAnswer &a)
{
    if (cmd.kind == TCommand::Read) {
        a.lines.push_back(Format("+CSMP: %d,%d,%d,%d", m_csmpFo, m_csmpVp, m_csmpPid, m_csmpDcs));
        return;
    }
    if (cmd.kind == TCommand::Test)
        return;
    if (cmd.kind != TCommand::Set || cmd.params.size() > 4) {
        a.final = cmsError(305);
        return;
    }
    // Empty parameters keep their value; an absolute validity period (quoted) is accepted as is.
    int values[4] = {m_csmpFo, m_csmpVp, m_csmpPid, m_csmpDcs};
    for (size_t i = 0; i < cmd.params.size(); ++i) {
        const std::string &p = cmd.params[i];
        if (p.empty())
            continue;
        if (i == 1 && p.front() == '"') {
            m_csmpVpAbsolute = Unquote(p);
            continue;
        }
        int v = 0;
        if (!ParseSimInt(p, v) || v > 255) {
            a.final = cmsError(305);
            return;
        }
        values[i] = v;
    }
    m_csmpFo = values[0];
    m_csmpVp = values[1];
    m_csmpPid = values[2];
    m_csmpDcs = values[3];
}

void TSimHandset::cmdCnmi(const TCommand &cmd, TAnswer &a)
{
    std::string ranges = m_options.cnmiRanges.empty() ? m_profile.cnmiRanges : m_options.cnmiRanges;
    switch (cmd.kind) {
    case TCommand::Test:
        a.lines.push_back("+CNMI: " + ranges);
        break;
    case TCommand::Read:
        a.lines.push_back(
            Format("+CNMI: %d,%d,%d,%d,%d", m_cnmi[0], m_cnmi[1], m_cnmi[2], m_cnmi[3], m_cnmi[4]));
        break;
    case TCommand::Set: {
        auto items = rangeItems(ranges);
        if (cmd.params.size() > m_cnmi.size()) {
            a.final = cmsError(303);
            break;
        }
        auto values = m_cnmi;
        for (size_t i = 0; i < cmd.params.size(); ++i) {
            if (cmd.params[i].empty())
                continue;
            int v = 0;
            if (!ParseSimInt(cmd.params[i], v) || i >= items.size() || !rangeValues(items[i]).count(v)) {
                a.final = cmsError(303);
                return;
            }
            values[i] = v;
        }
        m_cnmi = values;
        break;
    }
    default:
        a.final = cmsError(302);
    }
}

bool TSimHandset::knownStorage(const std::string &name) const
{
    // The Nokia 6650 also names its SIM and phone storages together as "MT".
    return m_storages.count(name) || (name == "MT" && hasMT());
}

int TSimHandset::storageUsed(const std::string &name) const
{
    if (name == "MT")
        return storageUsed("SM") + storageUsed("ME");
    auto it = m_storages.find(name);
    return it == m_storages.end() ? 0 : static_cast<int>(it->second.entries.size());
}

int TSimHandset::storageTotal(const std::string &name) const
{
    if (name == "MT")
        return storageTotal("SM") + storageTotal("ME");
    auto it = m_storages.find(name);
    return it == m_storages.end() ? 0 : it->second.capacity;
}

void TSimHandset::cmdCpms(const TCommand &cmd, TAnswer &a)
{
    switch (cmd.kind) {
    case TCommand::Read: {
        std::string line = "+CPMS: ";
        for (size_t i = 0; i < m_mem.size(); ++i)
            line += Format("%s\"%s\",%d,%d", i ? "," : "", m_mem[i].c_str(), storageUsed(m_mem[i]),
                           storageTotal(m_mem[i]));
        a.lines.push_back(line);
        break;
    }
    case TCommand::Test: {
        std::string list = hasMT() ? "(\"SM\",\"ME\",\"MT\")" : "(\"SM\",\"ME\")";
        // Status reports can only be read from SR, not written or received into it by choice.
        std::string readList = list;
        if (m_profile.srStorage)
            readList.insert(readList.size() - 1, ",\"SR\"");
        a.lines.push_back("+CPMS: " + readList + "," + list + "," + list);
        break;
    }
    case TCommand::Set: {
        if (cmd.params.empty() || cmd.params.size() > 3) {
            a.final = cmsError(302);
            break;
        }
        auto mem = m_mem;
        for (size_t i = 0; i < cmd.params.size(); ++i) {
            std::string name = Unquote(cmd.params[i]);
            if (!knownStorage(name) || (name == "SR" && i > 0)) {
                a.final = cmsError(302);
                return;
            }
            mem[i] = name;
        }
        m_mem = mem;
        std::string line = "+CPMS: ";
        for (size_t i = 0; i < m_mem.size(); ++i)
            line += Format("%s%d,%d", i ? "," : "", storageUsed(m_mem[i]), storageTotal(m_mem[i]));
        a.lines.push_back(line);
        break;
    }
    default:
        a.final = cmsError(302);
    }
}

} // namespace kestrel
