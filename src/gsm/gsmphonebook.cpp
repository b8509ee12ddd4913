// Phonebooks of the SIM and the handset as TGSM reads and writes them (TS 27.007 8.11 +CPBS,
// 8.12 +CPBR, 8.14 +CPBW).
#include "gsm/gsm.h"

#include "base/convert.h"
#include "base/format.h"

#include <algorithm>
#include <type_traits>

namespace kestrel {

namespace {

constexpr uint8_t kQueryFlags = kWaitResult | kWaitReply | kPrefixedReply;
// Entries asked for with one AT+CPBR: a full chunk of long UCS2 names stays a few kilobytes, and
// a storage of a few hundred entries takes a dozen commands.
constexpr int kReadChunk = 20;

// The number of a "+CME ERROR: <n>" line (also its verbose "not found" of 22); -1 for others.
int CMENumber(const std::string &resultLine)
{
    const std::string upper = UpperASCII(resultLine);
    constexpr std::string_view prefix = "+CME ERROR:";
    if (upper.compare(0, prefix.size(), prefix) != 0)
        return -1;
    const std::string_view value = TrimBlanks(std::string_view(upper).substr(prefix.size()));
    if (value == "NOT FOUND")
        return 22;
    const auto n = TryStrToInt64(value);
    return n && *n >= 0 && *n < 1000 ? static_cast<int>(*n) : -1;
}

// Runs Body with the engine busy, and ends the busy state however Body ends.
template <typename F>
auto WhileBusy(TGSM &gsm, F &&body) -> decltype(body())
{
    gsm.CheckActive();
    gsm.BeginBusy();
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            gsm.EndBusy();
        } else {
            auto result = body();
            gsm.EndBusy();
            return result;
        }
    } catch (...) {
        gsm.EndBusy();
        throw;
    }
}

} // namespace

std::string TGSM::lastResultLine() const
{
    std::lock_guard lock(m_lock);
    return m_reply.resultLine;
}

std::vector<std::string> TGSM::PhonebookStorages()
{
    return WhileBusy(*this, [&] {
        std::vector<std::string> lines;
        CheckResult(ExecCommand("AT+CPBS=?", kQueryFlags, &lines, 1));
        if (lines.empty())
            GSMError("The handset named no phonebook storages (AT+CPBS=?)");
        return ParseCPBSTest(lines.front());
    });
}

TPhonebookInfo TGSM::SelectPhonebook(const std::string &Storage)
{
    const std::string name = PhonebookStorageName(Storage);
    return WhileBusy(*this, [&] { return selectPhonebook(name); });
}

TPhonebookInfo TGSM::selectPhonebook(const std::string &name)
{
    TPhonebookInfo info;
    CheckResult(ExecCommand("AT+CPBS=\"" + name + "\"", kWaitResult, nullptr, 1));
    std::vector<std::string> lines;
    // The counts are optional (TS 27.007 8.11): a handset that gives none is asked no more.
    if (ExecCommand("AT+CPBS?", kQueryFlags | kErrorIsSuccess, &lines, 1) == 0 && !lines.empty())
        info.Status = ParseCPBSRead(lines.front());
    if (info.Status.Storage.empty())
        info.Status.Storage = name;
    lines.clear();
    CheckResult(ExecCommand("AT+CPBR=?", kQueryFlags, &lines, 1));
    if (lines.empty())
        GSMErrorFmt("The handset gave no index range of the phonebook %s (AT+CPBR=?)", name.c_str());
    info.Range = ParseCPBRTest(lines.front());
    return info;
}

// Phonebook texts travel in UCS2 where the handset offers it: then a name in any script, and the
// default alphabet's "@" (code 0, which some handsets cut a string at), reads and writes the same.
// The handset's own set is put back afterwards, also when Body fails. A handset without UCS2 is
// left in its set.
void TGSM::withPhonebookCharset(const std::function<void(TTECharset)> &body)
{
    const TTECharset own = TECharacterSet();
    if (m_ucs2Offered < 0) {
        std::vector<std::string> lines;
        m_ucs2Offered = ExecCommand("AT+CSCS=?", kQueryFlags | kErrorIsSuccess, &lines, 1) == 0 &&
                        !lines.empty() && UpperASCII(lines.front()).find("\"UCS2\"") != std::string::npos;
    }
    if (own == TTECharset::UCS2 || m_ucs2Offered != 1) {
        body(own);
        return;
    }
    CheckResult(ExecCommand("AT+CSCS=\"UCS2\"", kWaitResult, nullptr, 1));
    auto restore = [this] { CheckResult(ExecCommand("AT+CSCS=" + m_characterSet, kWaitResult)); };
    try {
        body(TTECharset::UCS2);
    } catch (...) {
        try {
            restore();
        } catch (const std::exception &) {
            // The failure of the phonebook command is the one to report.
        }
        throw;
    }
    restore();
}

std::vector<TPhonebookEntry> TGSM::ReadPhonebook(const std::string &Storage, TPhonebookInfo *Info,
                                                 std::vector<std::string> *Problems)
{
    const std::string name = PhonebookStorageName(Storage);
    std::vector<TPhonebookEntry> entries;
    WhileBusy(*this, [&] {
        const TPhonebookInfo info = selectPhonebook(name);
        if (Info)
            *Info = info;
        withPhonebookCharset([&](TTECharset charset) {
            for (int first = info.Range.First; first <= info.Range.Last; first += kReadChunk) {
                // A handset that told how many entries it holds is not asked past the last one.
                if (info.Status.Used >= 0 && static_cast<int>(entries.size()) >= info.Status.Used)
                    break;
                const int last = std::min(info.Range.Last, first + kReadChunk - 1);
                const std::string cmd = Format("AT+CPBR=%d,%d", first, last);
                std::vector<std::string> lines;
                if (ExecCommand(cmd, kQueryFlags | kErrorIsSuccess, &lines, 1) != 0) {
                    // TS 27.007 9.2 "not found": how some handsets answer a range without entries;
                    // without extended errors (+CMEE=0) the same comes as a plain ERROR.
                    const std::string result = lastResultLine();
                    if (CMENumber(result) == 22 || UpperASCII(TrimBlanks(result)) == "ERROR")
                        continue;
                    RaiseResultError(result, cmd);
                }
                for (const std::string &line : lines) {
                    try {
                        TPhonebookEntry e = ParseCPBRLine(line, charset);
                        if (e.Index < first || e.Index > last)
                            GSMErrorFmt("index %d is outside the range %d to %d asked for", e.Index, first,
                                        last);
                        entries.push_back(std::move(e));
                    } catch (const EGSMError &e) {
                        // One damaged entry does not hide the others; the caller learns of it.
                        if (Problems)
                            Problems->push_back(Format("phonebook %s, entries %d to %d: %s",
                                                       info.Status.Storage.c_str(), first, last, e.what()));
                    }
                }
            }
        });
    });
    return entries;
}

int TGSM::WritePhonebookEntry(const std::string &Storage, const TPhonebookEntry &Entry)
{
    const std::string name = PhonebookStorageName(Storage);
    int written = Entry.Index;
    WhileBusy(*this, [&] {
        const TPhonebookInfo info = selectPhonebook(name);
        if (Entry.Index != 0 && (Entry.Index < info.Range.First || Entry.Index > info.Range.Last))
            GSMErrorFmt("Index %d is outside the phonebook %s (%d to %d)", Entry.Index,
                        info.Status.Storage.c_str(), info.Range.First, info.Range.Last);
        CheckPhonebookEntry(Entry, info.Range, info.Status.Storage);
        if (Entry.Index == 0 && info.Status.Total >= 0 && info.Status.Used >= info.Status.Total)
            GSMErrorFmt("The phonebook %s is full (%d of %d entries)", info.Status.Storage.c_str(),
                        info.Status.Used, info.Status.Total);
        withPhonebookCharset([&](TTECharset charset) {
            std::vector<std::string> lines;
            CheckResult(ExecCommand("AT+CPBW=" + CPBWParameters(Entry, charset), kQueryFlags, &lines, 1));
            // Newer handsets tell where an entry without index went (TS 27.007 8.14 <written_index>).
            if (!lines.empty())
                if (const auto n = TryStrToInt64(TrimBlanks(lines.front())); n && *n > 0 && *n <= 65535)
                    written = static_cast<int>(*n);
        });
    });
    return written;
}

void TGSM::DeletePhonebookEntry(const std::string &Storage, int Index)
{
    const std::string name = PhonebookStorageName(Storage);
    WhileBusy(*this, [&] {
        const TPhonebookInfo info = selectPhonebook(name);
        if (Index < info.Range.First || Index > info.Range.Last)
            GSMErrorFmt("Index %d is outside the phonebook %s (%d to %d)", Index, info.Status.Storage.c_str(),
                        info.Range.First, info.Range.Last);
        CheckResult(ExecCommand(Format("AT+CPBW=%d", Index), kWaitResult, nullptr, 1));
    });
}

} // namespace kestrel
