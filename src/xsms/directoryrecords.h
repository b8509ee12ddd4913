// The record list of a MIME directory (vCard, vCalendar): entries NAME=value in order, each with
// its own parameter list, rendered to and parsed from the BEGIN:/END: text with line folding.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

class TDirectoryRecords {
public:
    // Line folding width when rendering; 0 (or less) renders every record on one line.
    int FoldingLength = 0;
    // The directory name after BEGIN: and END: (upper case). An empty Kind adopts the name parsed.
    std::string Kind;

    int Count() const { return static_cast<int>(m_entries.size()); }
    // The entry NAME=value; raises the list index error outside 0..Count-1.
    const std::string &Strings(int index) const;
    std::string Names(int index) const;
    std::string ValueFromIndex(int index) const;
    // The parameters of an entry (TYPE=HOME, VOICE), in the order parsed; always present.
    std::vector<std::string> &Parameters(int index);
    const std::vector<std::string> &Parameters(int index) const;

    // Index of the entry named Name (case-insensitive), or -1.
    int IndexOfName(const std::string &name) const;
    // Value of the first entry named Name, or empty.
    std::string Values(const std::string &name) const;
    // Replaces the value of the entry named Name, appends one when there is none, and deletes it
    // when Value is empty.
    void SetValues(const std::string &name, const std::string &value);
    // Appends the entry Text (NAME=value) with an empty parameter list; returns its index.
    int Add(const std::string &text);
    void Delete(int index);
    void Clear() { m_entries.clear(); }

    // Renders the directory; line ends are CR LF.
    std::string Data() const;
    // Parses directory text; raises "Bad format" or "Bad directory name" (EGSMError), leaving the
    // list empty.
    void SetData(const std::string &text);

private:
    struct TEntry {
        std::string text;
        std::vector<std::string> parameters;
    };
    std::vector<TEntry> m_entries;
    void checkIndex(int index) const;
};

} // namespace kestrel
